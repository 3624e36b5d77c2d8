#include "shell/secretstore.h"

#include <QLocalServer>
#include <QTemporaryDir>
#include <QTest>

// A session bus that takes the connection and never answers, as a hung keyring daemon's: the
// store waits once, then keeps the token in its file, and never waits again. It runs alone in
// its process, since the session bus is looked up once per process.
class TestSilentKeyring : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QLocalServer silentBus;

private slots:
    void initTestCase() {
        QVERIFY(dir.isValid());
        const QString socket = dir.filePath(QStringLiteral("bus"));
        QVERIFY(silentBus.listen(socket));
        // Connections wait in the backlog, never accepted, never answered.
        qputenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + QFile::encodeName(socket));
    }

    void cleanupTestCase() {
        // Ends the connections waiting in the backlog, so the bus threads stop waiting too.
        silentBus.close();
    }

    void failsOverToTheFile() {
        const QString path = dir.filePath(QStringLiteral("Mireva.token"));
        SecretStore store(
            {QStringLiteral("Tavrona Mireva test"), QStringLiteral("api/token"), path, 500});
        // Each call is bounded by the store's own wait, so none of them hangs (the test's time
        // limit in CTest catches one that would).
        QVERIFY(store.write(QStringLiteral("tok-silent")));
        QCOMPARE(store.place(), SecretStore::Place::File);
        QVERIFY(!SecretStore::keyringUsable());
        QVERIFY(QFile::exists(path));

        SecretStore next(
            {QStringLiteral("Tavrona Mireva test"), QStringLiteral("api/token"), path, 500});
        QCOMPARE(next.read(), QStringLiteral("tok-silent"));
        QCOMPARE(next.place(), SecretStore::Place::File);
        QVERIFY(next.write(QString()));
        QVERIFY(!QFile::exists(path));
    }
};

QTEST_GUILESS_MAIN(TestSilentKeyring)
#include "tst_secretstore_silentkeyring.moc"
