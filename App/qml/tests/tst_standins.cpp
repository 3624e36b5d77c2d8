// Holds the QML tests' stand-ins and the program's QML documents to the real facades: a member
// renamed, retyped or made read-only in a facade fails here, whether or not the stand-in and the
// documents were changed along with it.
#include "standins.h"

#include "camera/cameraproperty.h"
#include "camera/camerathread.h"
#include "mosaic/bigbuilderthread.h"
#include "mosaic/smallbuilderthread.h"
#include "service/apithread.h"
#include "shell/settings.h"

#include <QDirIterator>
#include <QFile>
#include <QMetaMethod>
#include <QMetaProperty>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

namespace {

QString notifySignature(const QMetaProperty &property) {
    return property.hasNotifySignal() ? QString(property.notifySignal().methodSignature())
                                      : QStringLiteral("none");
}

// QML sees a list of QObject and a list of any QObject subclass alike, so a stand-in may hold
// plain objects (made in QML) where its facade holds its own kind.
bool sameType(const QMetaProperty &standIn, const QMetaProperty &facade) {
    const QByteArray standInType = standIn.typeName();
    const QByteArray facadeType = facade.typeName();
    if (standInType == facadeType)
        return true;
    static const QRegularExpression objectList(QStringLiteral("^QList<(\\w+\\*)>$"));
    const QRegularExpressionMatch match = objectList.match(QString::fromLatin1(facadeType));
    return standInType == "QList<QObject*>" && match.hasMatch() &&
           QMetaType::fromName(match.captured(1).toLatin1()).flags() & QMetaType::PointerToQObject;
}

QString writability(const QMetaProperty &property) {
    return property.isWritable() ? QStringLiteral("writable") : QStringLiteral("read-only");
}

QString constancy(const QMetaProperty &property) {
    return property.isConstant() ? QStringLiteral("constant") : QStringLiteral("not constant");
}

QString kind(const QMetaMethod &method) {
    static const char *const names[] = {"method", "signal", "slot", "constructor"};
    const char *access = method.access() == QMetaMethod::Public ? "public" : "non-public";
    return QStringLiteral("%1 %2 returning %3")
        .arg(access, names[method.methodType()], method.typeName());
}

// Every property, signal, slot and invokable method the stand-in adds to QObject must be in the
// facade under the same name: properties with the same type, writability and notify signal,
// methods with the same signature, kind and result. One line per difference.
QStringList mismatches(const QMetaObject &standIn, const QMetaObject &facade) {
    QStringList found;
    for (int i = QObject::staticMetaObject.propertyCount(); i < standIn.propertyCount(); ++i) {
        const QMetaProperty own = standIn.property(i);
        const QString name = QString::fromLatin1(own.name());
        const int at = facade.indexOfProperty(own.name());
        if (at < 0) {
            found << QStringLiteral("property %1: not in the facade").arg(name);
            continue;
        }
        const QMetaProperty real = facade.property(at);
        if (!sameType(own, real))
            found << QStringLiteral("property %1: of type %2, the facade's of type %3")
                         .arg(name, own.typeName(), real.typeName());
        if (own.isWritable() != real.isWritable())
            found << QStringLiteral("property %1: %2, the facade's %3")
                         .arg(name, writability(own), writability(real));
        if (own.isConstant() != real.isConstant())
            found << QStringLiteral("property %1: %2, the facade's %3")
                         .arg(name, constancy(own), constancy(real));
        if (notifySignature(own) != notifySignature(real))
            found << QStringLiteral("property %1: notifies %2, the facade's %3")
                         .arg(name, notifySignature(own), notifySignature(real));
    }
    for (int i = QObject::staticMetaObject.methodCount(); i < standIn.methodCount(); ++i) {
        const QMetaMethod own = standIn.method(i);
        const QString signature = QString::fromLatin1(own.methodSignature());
        const int at = facade.indexOfMethod(own.methodSignature().constData());
        if (at < 0) {
            found << QStringLiteral("%1: not in the facade").arg(signature);
            continue;
        }
        const QMetaMethod real = facade.method(at);
        if (kind(own) != kind(real))
            found << QStringLiteral("%1: a %2, the facade's a %3")
                         .arg(signature, kind(own), kind(real));
    }
    return found;
}

// Whether QML reaches `member` of the object: a property or a public method of that name, or
// for a handler (`onMember` in a Connections block), a signal `member`.
bool offers(const QMetaObject &object, const QString &member, bool handler) {
    if (!handler && object.indexOfProperty(member.toLatin1().constData()) >= 0)
        return true;
    for (int i = 0; i < object.methodCount(); ++i) {
        const QMetaMethod method = object.method(i);
        if (method.name() == member.toLatin1() && method.access() == QMetaMethod::Public &&
            (!handler || method.methodType() == QMetaMethod::Signal))
            return true;
    }
    return false;
}

struct Use {
    QString object;
    QString member;
    bool handler; // a signal handler in a Connections block targeting the object
};

// What a QML text uses of the named objects: `object.member` anywhere, and the handlers of
// every Connections block whose target is one of them.
QList<Use> usesOf(const QString &text, const QStringList &objects) {
    QList<Use> uses;
    const QString names = objects.join(QLatin1Char('|'));
    const QRegularExpression access(QStringLiteral("(?<![\\w.])(%1)\\.(\\w+)").arg(names));
    for (const QRegularExpressionMatch &match : access.globalMatch(text))
        uses.append({match.captured(1), match.captured(2), false});

    static const QRegularExpression connections(QStringLiteral("\\bConnections\\s*\\{"));
    static const QRegularExpression handler(
        QStringLiteral("(?:\\bfunction\\s+on([A-Z]\\w*)\\s*\\(|^\\s*on([A-Z]\\w*)\\s*:)"),
        QRegularExpression::MultilineOption);
    const QRegularExpression target(
        QStringLiteral("^\\s*target\\s*:\\s*(%1)\\s*;?\\s*$").arg(names),
        QRegularExpression::MultilineOption);
    for (const QRegularExpressionMatch &block : connections.globalMatch(text)) {
        qsizetype end = block.capturedEnd();
        for (int depth = 1; end < text.size() && depth > 0; ++end)
            depth += text[end] == QLatin1Char('{') ? 1 : text[end] == QLatin1Char('}') ? -1 : 0;
        const QString body = text.mid(block.capturedEnd(), end - block.capturedEnd());
        const QRegularExpressionMatch object = target.match(body);
        if (!object.hasMatch())
            continue;
        for (const QRegularExpressionMatch &on : handler.globalMatch(body)) {
            QString signal = on.captured(1).isEmpty() ? on.captured(2) : on.captured(1);
            signal[0] = signal[0].toLower();
            uses.append({object.captured(1), signal, true});
        }
    }
    return uses;
}

// The context properties the program's documents see, with the class behind each in the
// program and in the tests.
struct Published {
    QString name;
    const QMetaObject *facade;
    const QMetaObject *standIn;
};

const QList<Published> published = {
    {QStringLiteral("settings"), &Settings::staticMetaObject, &Settings::staticMetaObject},
    {QStringLiteral("cameraThread"), &CameraThread::staticMetaObject,
     &CameraThreadStandIn::staticMetaObject},
    {QStringLiteral("smallBuilderThread"), &SmallBuilderThread::staticMetaObject,
     &SmallBuilderThreadStandIn::staticMetaObject},
    {QStringLiteral("bigBuilderThread"), &BigBuilderThread::staticMetaObject,
     &BigBuilderThreadStandIn::staticMetaObject},
    {QStringLiteral("apiThread"), &ApiThread::staticMetaObject,
     &ApiThreadStandIn::staticMetaObject},
};

} // namespace

// A facade and copies of it that drift in one way each, for the checker's own test.
class Sample : public QObject {
    Q_OBJECT
    Q_PROPERTY(int level READ level WRITE setLevel NOTIFY levelChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
public:
    int level() const { return 0; }
    void setLevel(int) {}
    QString name() const { return {}; }
    Q_INVOKABLE void start(int) {}
signals:
    void levelChanged(int level);
    void nameChanged();
};

class FaithfulCopy : public QObject {
    Q_OBJECT
    Q_PROPERTY(int level MEMBER value NOTIFY levelChanged)
    Q_PROPERTY(QString name READ name NOTIFY nameChanged)
public:
    QString name() const { return {}; }
    Q_INVOKABLE void start(int) {}
signals:
    void levelChanged(int level);
    void nameChanged();

private:
    int value = 0;
};

class RenamedProperty : public QObject {
    Q_OBJECT
    Q_PROPERTY(int lvl MEMBER value NOTIFY levelChanged)
signals:
    void levelChanged(int level);

private:
    int value = 0;
};

class OtherType : public QObject {
    Q_OBJECT
    Q_PROPERTY(double level READ level WRITE setLevel NOTIFY levelChanged)
public:
    double level() const { return 0; }
    void setLevel(double) {}
signals:
    void levelChanged(int level);
};

class WritableWhereReadOnly : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name MEMBER value NOTIFY nameChanged)
signals:
    void nameChanged();

private:
    QString value;
};

class OtherNotify : public QObject {
    Q_OBJECT
    Q_PROPERTY(QString name READ name NOTIFY changed)
public:
    QString name() const { return {}; }
signals:
    void changed();
};

class OtherSignature : public QObject {
    Q_OBJECT
public:
    Q_INVOKABLE void start(double) {}
};

class SlotForInvokable : public QObject {
    Q_OBJECT
public slots:
    void start(int) {}
};

class TestStandIns : public QObject {
    Q_OBJECT

private slots:
    void checkerFindsEachDrift_data();
    void checkerFindsEachDrift();
    void scannerFindsEachUse();
    void standInsOfferOnlyWhatTheirFacadesOffer_data();
    void standInsOfferOnlyWhatTheirFacadesOffer();
    void documentsUseOnlyWhatFacadeAndStandInOffer();
    void cameraPropertyStandInHasTheFrontendsNames();
};

void TestStandIns::checkerFindsEachDrift_data() {
    QTest::addColumn<const QMetaObject *>("copy");
    QTest::addColumn<QString>("expected");
    QTest::newRow("faithful") << &FaithfulCopy::staticMetaObject << QString();
    QTest::newRow("renamed property")
        << &RenamedProperty::staticMetaObject << QStringLiteral("property lvl: not in the facade");
    QTest::newRow("other type") << &OtherType::staticMetaObject
                                << QStringLiteral(
                                       "property level: of type double, the facade's of type int");
    QTest::newRow("writable") << &WritableWhereReadOnly::staticMetaObject
                              << QStringLiteral("property name: writable, the facade's read-only");
    QTest::newRow("other notify")
        << &OtherNotify::staticMetaObject
        << QStringLiteral("property name: notifies changed(), the facade's nameChanged()");
    QTest::newRow("other signature")
        << &OtherSignature::staticMetaObject << QStringLiteral("start(double): not in the facade");
    QTest::newRow("slot for invokable")
        << &SlotForInvokable::staticMetaObject
        << QStringLiteral("start(int): a public slot returning void, the facade's a public "
                          "method returning void");
}

void TestStandIns::checkerFindsEachDrift() {
    QFETCH(const QMetaObject *, copy);
    QFETCH(QString, expected);
    const QStringList found = mismatches(*copy, Sample::staticMetaObject);
    if (expected.isEmpty())
        QCOMPARE(found, QStringList());
    else
        QVERIFY2(found.contains(expected), qPrintable(found.join(QStringLiteral("; "))));
}

void TestStandIns::scannerFindsEachUse() {
    const QString text = QStringLiteral(R"(
        Item {
            width: cameraThread.image.cols + other.cameraThread.skipped
            onClicked: apiThread.logIn()
            Connections {
                target: apiThread
                function onApiError(message) { settings.mpp = message; }
                onUserChanged: {}
            }
            Connections {
                target: somethingElse
                function onIgnored() {}
            }
        }
    )");
    QList<QString> found;
    for (const Use &use : usesOf(text, {QStringLiteral("cameraThread"), QStringLiteral("apiThread"),
                                        QStringLiteral("settings")}))
        found << use.object + (use.handler ? QStringLiteral(" on ") : QStringLiteral(".")) +
                     use.member;
    found.sort();
    QCOMPARE(found, (QList<QString>{"apiThread on apiError", "apiThread on userChanged",
                                    "apiThread.logIn", "cameraThread.image", "settings.mpp"}));
}

void TestStandIns::standInsOfferOnlyWhatTheirFacadesOffer_data() {
    QTest::addColumn<const QMetaObject *>("standIn");
    QTest::addColumn<const QMetaObject *>("facade");
    for (const Published &object : published) {
        if (object.standIn != object.facade)
            QTest::newRow(qPrintable(object.name)) << object.standIn << object.facade;
    }
}

void TestStandIns::standInsOfferOnlyWhatTheirFacadesOffer() {
    QFETCH(const QMetaObject *, standIn);
    QFETCH(const QMetaObject *, facade);
    const QStringList found = mismatches(*standIn, *facade);
    QVERIFY2(found.isEmpty(), qPrintable(found.join(QLatin1Char('\n'))));
}

void TestStandIns::documentsUseOnlyWhatFacadeAndStandInOffer() {
    QStringList names;
    for (const Published &object : published)
        names << object.name;
    QStringList missing;
    int count = 0;
    QDirIterator documents(QStringLiteral(":/qml"), {QStringLiteral("*.qml")}, QDir::Files,
                           QDirIterator::Subdirectories);
    while (documents.hasNext()) {
        const QString path = documents.next();
        QFile file(path);
        QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(path));
        const QString text = QString::fromUtf8(file.readAll());
        // What only the tests publish would be undefined in the program.
        for (const Use &use : usesOf(text, {QStringLiteral("stage"), QStringLiteral("calls")}))
            missing << QStringLiteral("%1: %2.%3: only the tests have %2")
                           .arg(path, use.object, use.member);
        for (const Use &use : usesOf(text, names)) {
            ++count;
            const Published &object = published[names.indexOf(use.object)];
            const QString where =
                QStringLiteral("%1: %2%3%4")
                    .arg(path, use.object,
                         use.handler ? QStringLiteral(" handles on") : QStringLiteral("."),
                         use.member);
            if (!offers(*object.facade, use.member, use.handler))
                missing << where + QStringLiteral(": not in ") + object.facade->className();
            else if (!offers(*object.standIn, use.member, use.handler))
                missing << where + QStringLiteral(": not in the tests' stand-in");
        }
    }
    // The documents use every facade many times over: finding few means the scan is broken.
    QVERIFY2(count > 50, qPrintable(QString::number(count)));
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QLatin1Char('\n'))));
}

void TestStandIns::cameraPropertyStandInHasTheFrontendsNames() {
    QQmlEngine engine;
    QQmlComponent component(&engine, QUrl::fromLocalFile(QStringLiteral(
                                         MIREVA_QML_TESTS_DIR "/CameraPropertyStandIn.qml")));
    std::unique_ptr<QObject> standIn(component.create());
    QVERIFY2(standIn, qPrintable(component.errorString()));
    const QMetaObject *own = standIn->metaObject();
    QStringList missing;
    for (int i = QObject::staticMetaObject.propertyCount(); i < own->propertyCount(); ++i) {
        const QByteArray name = own->property(i).name();
        // The test's record of what the editors wrote.
        if (name != "writes" && CameraPropertyFrontend::staticMetaObject.indexOfProperty(name) < 0)
            missing << QString::fromLatin1(name);
    }
    QVERIFY2(own->propertyCount() > QObject::staticMetaObject.propertyCount() + 5,
             "the stand-in's properties are not seen");
    QVERIFY2(missing.isEmpty(), qPrintable(missing.join(QStringLiteral(", "))));
}

QTEST_MAIN(TestStandIns)

#include "tst_standins.moc"
