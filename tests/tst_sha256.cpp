#include "TestEnvironment.h"

#include "Sha256.h"

#include <QCryptographicHash>
#include <QtTest>

class TestSha256 : public QObject {
    Q_OBJECT
private slots:
    void knownDigestsAndPieces();
};

void TestSha256::knownDigestsAndPieces()
{
    QCOMPARE(shared::TSha256::hash(QByteArray()).toHex(), QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"));
    QCOMPARE(shared::TSha256::hash(QByteArray("abc")).toHex(),
             QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));

    // fed in uneven pieces, the digest equals the one-shot digest and Qt's
    QByteArray Data(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (int Index = 0; Index < Data.size(); ++Index) {
        Data[Index] = char((Index * 131) ^ (Index >> 9));
    }
    shared::TSha256 Incremental;
    for (int Offset = 0, Step = 1; Offset < Data.size(); Offset += Step, Step = Step * 3 + 1) {
        Incremental.addData(Data.constData() + Offset, static_cast<std::size_t>(qMin(Step, Data.size() - Offset)));
    }
    const QByteArray Digest = Incremental.result();
    QCOMPARE(Digest, shared::TSha256::hash(Data));
    QCOMPARE(Digest, QCryptographicHash::hash(Data, QCryptographicHash::Sha256));
    // the object starts over after a result
    Incremental.addData(QByteArray("abc"));
    QCOMPARE(Incremental.result(), shared::TSha256::hash(QByteArray("abc")));
}

QTEST_APPLESS_MAIN(TestSha256)
#include "tst_sha256.moc"
