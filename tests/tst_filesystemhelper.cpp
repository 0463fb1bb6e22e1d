#include "TestEnvironment.h"

#include "BackgroundThread.h"
#include "BundleContainer.h"
#include "NamedPipes.h"
#include "TFileSystemHelper.h"

#include <QFile>
#include <QImage>
#include <QTemporaryDir>
#include <QtConcurrent>
#include <QtTest>

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

using shared::TFileSystemHelper;

namespace {

QString errorText(const std::function<void()>& Action)
{
    try {
        Action();
    } catch (const std::runtime_error& Error) {
        return QString::fromUtf8(Error.what());
    }
    return QStringLiteral("<no exception>");
}

void writeBytes(const QString& Path, const QByteArray& Data)
{
    QFile File(Path);
    QVERIFY(File.open(QIODevice::WriteOnly));
    File.write(Data);
}

// A stored container holding Data.
QByteArray storedContainer(const QByteArray& Data)
{
    QByteArray Result("\x00\x00\x70\x00", 4);
    Result.append(char(Data.size()));
    Result.append(char(Data.size()));
    return Result + Data;
}

} // namespace

class TestFileSystemHelper : public QObject {
    Q_OBJECT
private slots:
    void errorTexts();
    void resolvePathStaysInside();
    void joinPaths();
    void blobs();
    void jsonAndFiles();
    void listing();
    void poolThreadsRunInBackground();
};

void TestFileSystemHelper::errorTexts()
{
    QTemporaryDir Dir;
    TFileSystemHelper Helper;
    const QString Missing = Dir.filePath(QStringLiteral("missing.bin"));

    QCOMPARE(errorText([&] { Helper.deleteFile(Missing); }), QStringLiteral("Failed to delete file ") + Missing);
    QCOMPARE(errorText([&] { Helper.readFile(Missing); }),
             QStringLiteral("I/O error on file '%1': No such file or directory").arg(Missing));
    QCOMPARE(errorText([&] { Helper.writeFile(Dir.filePath(QStringLiteral("no/such/dir/x")), "x"); }),
             QStringLiteral("I/O error on file '%1': Could not open file.").arg(Dir.filePath(QStringLiteral("no/such/dir/x"))));
    QCOMPARE(errorText([&] { Helper.getOrCreateSubdirectory(Missing, QStringLiteral("sub")); }), QStringLiteral("Directory doesn't exist"));

    // a regular file where a directory should be made
    const QString Blocker = Dir.filePath(QStringLiteral("blocker"));
    writeBytes(Blocker, "x");
    QCOMPARE(errorText([&] { Helper.ensureDirectoryExists(Blocker + QStringLiteral("/inner")); }),
             QStringLiteral("Failed to create folder: '%1'.").arg(Blocker + QStringLiteral("/inner")));
    QCOMPARE(errorText([&] { Helper.getOrCreateSubdirectory(Dir.path(), QStringLiteral("blocker")); }),
             QStringLiteral("Failed to create subdirectory."));

    // the non-throwing readers
    QVERIFY(Helper.readFileOrEmpty(Missing).isEmpty());
    QVERIFY(!Helper.readImageFile(Missing, "PNG"));

    // an empty write truncates and succeeds
    const QString Existing = Dir.filePath(QStringLiteral("existing"));
    writeBytes(Existing, "old content");
    Helper.writeFile(Existing, QByteArray());
    QCOMPARE(QFileInfo(Existing).size(), 0);

    // a full disk is reported, not swallowed
    if (QFileInfo::exists(QStringLiteral("/dev/full"))) {
        QVERIFY(errorText([&] {
                    Helper.writeFile(QStringLiteral("/dev/full"), QByteArray(1 << 20, 'x'));
                }).startsWith(QStringLiteral("I/O error on file '/dev/full': ")));
    }
    QDir Created = Helper.getOrCreateSubdirectory(Dir.path(), QStringLiteral("made"));
    QVERIFY(Created.exists());
    QCOMPARE(Created.dirName(), QStringLiteral("made"));
    QVERIFY(Helper.ensureDirectoryExists(Dir.filePath(QStringLiteral("a/b/c"))).exists());
}

void TestFileSystemHelper::resolvePathStaysInside()
{
    TFileSystemHelper Helper;
    const QDir Base(QStringLiteral("/games/x"));
    QCOMPARE(Helper.resolvePathInsideDirectory(Base, QStringLiteral("../../etc/passwd")), QStringLiteral("/games/x/passwd"));
    QCOMPARE(Helper.resolvePathInsideDirectory(Base, QStringLiteral("bin/run")), QStringLiteral("/games/x/bin/run"));
    QCOMPARE(Helper.resolvePathInsideDirectory(Base, QStringLiteral("/etc/passwd")), QStringLiteral("/games/x/etc/passwd"));
    QCOMPARE(Helper.resolvePathInsideDirectory(Base, QStringLiteral("bin/../lib/a.so")), QStringLiteral("/games/x/lib/a.so"));
    // a sibling whose name starts with the base's name is outside too
    QCOMPARE(Helper.resolvePathInsideDirectory(Base, QStringLiteral("../xy/evil")), QStringLiteral("/games/x/evil"));
    QCOMPARE(Helper.resolvePathInsideDirectory(Base, QStringLiteral("../../tmp/")), QStringLiteral("/games/x/tmp"));
    QCOMPARE(Helper.resolvePathInsideDirectory(Base, QStringLiteral("..")), QStringLiteral("/games/x"));
}

void TestFileSystemHelper::joinPaths()
{
    TFileSystemHelper Helper;
    QCOMPARE(Helper.joinPaths({QStringLiteral("x"), QStringLiteral("y"), QStringLiteral("z")}), QStringLiteral("x/y/z"));
    QCOMPARE(Helper.joinPaths({}), QString());
    QCOMPARE(Helper.joinPaths({QStringLiteral("/a/"), QStringLiteral("b")}), QStringLiteral("/a//b"));
}

void TestFileSystemHelper::blobs()
{
    QTemporaryDir Dir;
    TFileSystemHelper Helper;
    const QString Plain = Dir.filePath(QStringLiteral("data.bin"));

    // only the compressed copy exists
    writeBytes(Plain + QStringLiteral(".lzma"), storedContainer("hello"));
    auto pBlob = Helper.createReadOnlyMemoryBlob(Plain);
    QVERIFY(dynamic_cast<shared::TLZMACompressedReadOnlyMemoryBlob*>(pBlob.get()));
    QCOMPARE(pBlob->filePath(), Plain + QStringLiteral(".lzma"));
    QCOMPARE(pBlob->getData(), QByteArray("hello"));

    // neither exists
    const QString Missing = Dir.filePath(QStringLiteral("nothing.bin"));
    QCOMPARE(errorText([&] { Helper.createReadOnlyMemoryBlob(Missing); }),
             QStringLiteral("I/O error on file '%1': File does not exist").arg(Missing));

    // upper-case suffix: plain blob, raw bytes
    const QString Upper = Dir.filePath(QStringLiteral("other.LZMA"));
    writeBytes(Upper, storedContainer("abc"));
    pBlob = Helper.createReadOnlyMemoryBlob(Upper);
    QVERIFY(!dynamic_cast<shared::TLZMACompressedReadOnlyMemoryBlob*>(pBlob.get()));
    QCOMPARE(pBlob->getData(), storedContainer("abc"));

    // a ".lzma" file that is not a container, or is a broken one, comes back raw
    const QString NotContainer = Dir.filePath(QStringLiteral("text.lzma"));
    writeBytes(NotContainer, "plain text");
    QCOMPARE(Helper.createReadOnlyMemoryBlob(NotContainer)->getData(), QByteArray("plain text"));
    const QByteArray Broken = QByteArray("\x70\x05\x20\x20", 4) + QByteArray(32, 'x');
    writeBytes(NotContainer, Broken);
    QCOMPARE(Helper.createReadOnlyMemoryBlob(NotContainer)->getData(), Broken);
    // a container declaring a terabyte is refused without allocating it
    const QByteArray Huge = QByteArray("\x70\x00\x80\x80\x80\x80\x80\x20\x03", 9) + "abc";
    writeBytes(NotContainer, Huge);
    QCOMPARE(Helper.createReadOnlyMemoryBlob(NotContainer)->getData(), Huge);

    // each call reads the file again
    writeBytes(Plain, "first");
    pBlob = Helper.createReadOnlyMemoryBlob(Plain);
    writeBytes(Plain, "second");
    QCOMPARE(pBlob->getData(), QByteArray("second"));
}

void TestFileSystemHelper::jsonAndFiles()
{
    QTemporaryDir Dir;
    TFileSystemHelper Helper;
    bool Failed = true;
    QVERIFY(Helper.readJsonFileAsQJsonDocument(Dir.filePath(QStringLiteral("none.json")), Failed).isNull());
    QVERIFY(!Failed);

    const QString Brace = Dir.filePath(QStringLiteral("brace.json"));
    writeBytes(Brace, "{");
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Json parse error in file .*brace.json")));
    QVERIFY(Helper.readJsonFileAsQJsonDocument(Brace, Failed).isNull());
    QVERIFY(Failed);

    const QString Good = Dir.filePath(QStringLiteral("good.json"));
    writeBytes(Good, "{\"a\": 1}");
    QCOMPARE(Helper.readJsonFileAsQJsonDocument(Good, Failed).object().value(QStringLiteral("a")).toInt(), 1);
    QVERIFY(!Failed);

    const QString Text = Dir.filePath(QStringLiteral("t.txt"));
    Helper.writeTextFile(Text, QStringLiteral("one\n"));
    Helper.appendTextFile(Text, QStringLiteral("two\n"));
    QCOMPARE(Helper.readFile(Text), QByteArray("one\ntwo\n"));
    Helper.writeTextFile(Dir.filePath(QStringLiteral("no/dir/t.txt")), QStringLiteral("ignored")); // silently ignored

    QImage Image(4, 3, QImage::Format_ARGB32);
    Image.fill(Qt::red);
    const QString ImagePath = Dir.filePath(QStringLiteral("i.png"));
    Helper.writeImageFile(Image, ImagePath, "PNG");
    auto pRead = Helper.readImageFile(ImagePath, "PNG");
    QVERIFY(pRead);
    QCOMPARE(pRead->size(), QSize(4, 3));
    QVERIFY(!Helper.readImageFile(Text, "PNG"));

    // A marker or cache that is a named pipe reads as missing at once. (Should the open
    // ever wait again, a writer coming and going lets it go: a failure, not a hang.)
    const QString Pipe = Dir.filePath(QStringLiteral("pipe.json"));
    QVERIFY(testsupport::makeNamedPipe(Pipe));
    const auto Read = testsupport::runLettingPipesGo(
        [&Helper, &Pipe] {
            bool ParseFailed = true;
            return Helper.readJsonFileAsQJsonDocument(Pipe, ParseFailed).isNull() && !ParseFailed;
        },
        {Pipe}, 5000);
    QVERIFY(Read.first);
    QVERIFY(Read.second);
    QVERIFY_EXCEPTION_THROWN(Helper.readFile(Pipe), std::runtime_error);
}

void TestFileSystemHelper::listing()
{
    QTemporaryDir Dir;
    TFileSystemHelper Helper;
    writeBytes(Dir.filePath(QStringLiteral("a")), "12345");
    writeBytes(Dir.filePath(QStringLiteral("b")), "");
    writeBytes(Dir.filePath(QStringLiteral(".hidden")), "x");
    QDir(Dir.path()).mkpath(QStringLiteral("sub"));
    writeBytes(Dir.filePath(QStringLiteral("sub/c")), "x");

    QMap<QString, qint64> Seen;
    Helper.forEachFileInDirectory(Dir.path(), [&](const shared::TLocalFileInfo& Info) { Seen.insert(Info.m_FilePath, Info.m_Size); });
    QCOMPARE(Seen.size(), 2);
    QCOMPARE(Seen.value(Dir.filePath(QStringLiteral("a"))), 5);
    QCOMPARE(Seen.value(Dir.filePath(QStringLiteral("b")), -1), 0);
    QVERIFY(Helper.fileExists(Dir.filePath(QStringLiteral("sub"))));
    QVERIFY(Helper.directoryExists(Dir.filePath(QStringLiteral("sub"))));
    QVERIFY(!Helper.directoryExists(Dir.filePath(QStringLiteral("a"))));
}

void TestFileSystemHelper::poolThreadsRunInBackground()
{
    const auto NiceOfThisThread = [] { return ::getpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid))); };
    const int EventLoopNice = NiceOfThisThread();
    // the event-loop thread keeps its priority, also when a task runs inline on it
    shared::runInBackground();
    QCOMPARE(NiceOfThisThread(), EventLoopNice);
    auto Task = QtConcurrent::run([&] {
        shared::runInBackground();
        shared::runInBackground(); // once per thread, not once per call
        return NiceOfThisThread();
    });
    // waited for without result(): that may run a task not yet started on the waiting thread
    while (!Task.isFinished()) {
        QThread::msleep(1);
    }
    const int PoolNice = Task.result();
    QCOMPARE(PoolNice, std::min(EventLoopNice + 5, 19));
}

QTEST_GUILESS_MAIN(TestFileSystemHelper)
#include "tst_filesystemhelper.moc"
