#pragma once

// The codec test vectors made by an independent reference encoder, listed in MANIFEST.tsv.

#include <QDir>
#include <QFile>
#include <QString>
#include <QVector>

namespace testsupport {

struct TCodecVector {
    QString m_File;
    QString m_Input; // ".raw" base name, "-" for none
    int m_Algorithm = -1;
    qint64 m_UnpackedSize = -1;
    qint64 m_PackedSize = -1;
    QByteArray m_InputSha256Hex;
    QString m_Expect;
    QString m_Note;
};

inline QString codecVectorsDirectory()
{
    return QStringLiteral(CODEC_VECTORS_DIR);
}

inline QVector<TCodecVector> readCodecVectors()
{
    QVector<TCodecVector> Vectors;
    QFile Manifest(codecVectorsDirectory() + QStringLiteral("/MANIFEST.tsv"));
    if (!Manifest.open(QIODevice::ReadOnly | QIODevice::Text)) {
        return Vectors;
    }
    Manifest.readLine(); // column names
    while (!Manifest.atEnd()) {
        const QList<QByteArray> Columns = Manifest.readLine().trimmed().split('\t');
        if (Columns.size() < 7) {
            continue;
        }
        TCodecVector Vector;
        Vector.m_File = QString::fromUtf8(Columns[0]);
        Vector.m_Input = QString::fromUtf8(Columns[1]);
        bool Ok = false;
        Vector.m_Algorithm = Columns[2].toInt(&Ok);
        if (!Ok) {
            Vector.m_Algorithm = -1;
        }
        Vector.m_UnpackedSize = Columns[3].toLongLong(&Ok);
        if (!Ok) {
            Vector.m_UnpackedSize = -1;
        }
        Vector.m_PackedSize = Columns[4].toLongLong(&Ok);
        if (!Ok) {
            Vector.m_PackedSize = -1;
        }
        Vector.m_InputSha256Hex = Columns[5];
        Vector.m_Expect = QString::fromUtf8(Columns[6]);
        Vector.m_Note = Columns.size() > 7 ? QString::fromUtf8(Columns[7]) : QString();
        Vectors.push_back(Vector);
    }
    return Vectors;
}

inline QByteArray readVectorFile(const QString& Name)
{
    QFile File(codecVectorsDirectory() + QLatin1Char('/') + Name);
    return File.open(QIODevice::ReadOnly) ? File.readAll() : QByteArray();
}

} // namespace testsupport
