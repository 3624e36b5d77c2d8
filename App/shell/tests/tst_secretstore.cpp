#include "shell/secretstore.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

// The token's own store where no keyring answers, as on this test's session bus, which does not
// exist (see MIREVA_TEST_ENV): everything lands in the owner-only file.
class TestSecretStore : public QObject {
    Q_OBJECT

private:
    QTemporaryDir dir;
    QString path() const { return dir.filePath(QStringLiteral("config/Mireva.token")); }
    SecretStore make() const {
        return SecretStore(
            {QStringLiteral("Tavrona Mireva test"), QStringLiteral("api/token"), path(), 2000});
    }
    static QFileDevice::Permissions othersOf(const QString &file) {
        return QFile::permissions(file) & ~(QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                            QFileDevice::ReadUser | QFileDevice::WriteUser);
    }

private slots:
    void init() { QFile::remove(path()); }

    void fileWhenNoKeyring() {
        SecretStore store = make();
        QCOMPARE(store.read(), QString());
        QCOMPARE(store.place(), SecretStore::Place::Nowhere);
        QVERIFY(store.write(QStringLiteral("tok-zażółć-1")));
        QVERIFY(!SecretStore::keyringUsable());
        QCOMPARE(store.place(), SecretStore::Place::File);
        QCOMPARE(othersOf(path()), QFileDevice::Permissions());

        SecretStore next = make();
        QCOMPARE(next.read(), QStringLiteral("tok-zażółć-1"));
        QCOMPARE(next.place(), SecretStore::Place::File);
        QVERIFY(next.write(QStringLiteral("tok-2")));
        QCOMPARE(make().read(), QStringLiteral("tok-2"));

        // An empty secret is no secret: the file goes.
        QVERIFY(next.write(QString()));
        QVERIFY(!QFile::exists(path()));
        QCOMPARE(next.place(), SecretStore::Place::Nowhere);
        QCOMPARE(make().read(), QString());
    }

    void fileOthersCouldReadIsMadePrivate() {
        QVERIFY(make().write(QStringLiteral("tok-copied")));
        QVERIFY(QFile::setPermissions(path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner |
                                                  QFileDevice::ReadGroup | QFileDevice::ReadOther));
        QCOMPARE(make().read(), QStringLiteral("tok-copied"));
        QCOMPARE(othersOf(path()), QFileDevice::Permissions());
    }

    void nowhereToWrite() {
        QVERIFY(QDir().mkpath(path())); // a folder where the file would go
        auto removeFolder = qScopeGuard([this] { QDir(path()).removeRecursively(); });
        SecretStore store = make();
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("could not be stored"));
        QVERIFY(!store.write(QStringLiteral("tok-lost")));
        QCOMPARE(store.place(), SecretStore::Place::Nowhere);
    }
};

QTEST_GUILESS_MAIN(TestSecretStore)
#include "tst_secretstore.moc"
