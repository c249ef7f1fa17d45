// Stands in for the kapla package-manager service on the (private) system
// bus. "Query" for the installed applications answers the canned item list;
// any other query gets code 1 and no list.
//
//   twk-kapla-pm-standin <JSON file> [<record file>]
//
// The file holds the reply's list text and is read again for every query, so
// a test changes the answer by rewriting it.
//
// "Cancel" on "/org/velkor/kapla/JobManager" appends a line "Cancel <id>" to
// the record file, when one is given, and answers with nothing.
//
// "Echo" on the interface "com.tarnwick.test.Echo" sends its arguments back
// as they came, for tests of the wire format.

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QFile>
#include <QTextStream>

#include <cstdio>

namespace {

struct QueryAnswer // (iss)
{
    qint32 code = 0;
    QString message;
    QString result;
};

} // namespace

Q_DECLARE_METATYPE(QueryAnswer)

QDBusArgument &operator<<(QDBusArgument &argument, const QueryAnswer &value)
{
    argument.beginStructure();
    argument << value.code << value.message << value.result;
    argument.endStructure();
    return argument;
}

// Only ever sent.
const QDBusArgument &operator>>(const QDBusArgument &argument, QueryAnswer &)
{
    return argument;
}

namespace {

const QString kName = QStringLiteral("org.velkor.kapla.PackageManager");
const QString kPath = QStringLiteral("/org/velkor/kapla/PackageManager");

class PackageManager : public QDBusVirtualObject
{
public:
    explicit PackageManager(const QString &listFile)
        : m_listFile(listFile)
    {}

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() == QLatin1String("com.tarnwick.test.Echo") &&
            message.member() == QLatin1String("Echo")) {
            connection.send(message.createReply(message.arguments()));
            return true;
        }
        if (message.interface() != kName || message.member() != QLatin1String("Query")) {
            return false;
        }
        if (message.signature() != QLatin1String("(sssssbs)")) {
            connection.send(message.createErrorReply(QDBusError::InvalidSignature,
                                                     QStringLiteral("Query takes (sssssbs)")));
            return true;
        }
        connection.send(message.createReply(QVariant::fromValue(answer(message))));
        return true;
    }

private:
    QueryAnswer answer(const QDBusMessage &message) const
    {
        const auto option = message.arguments().constFirst().value<QDBusArgument>();
        QString appId, version, arch, channel, module, extraText;
        bool flag = false;
        option.beginStructure();
        option >> appId >> version >> arch >> channel >> module >> flag >> extraText;
        option.endStructure();
        const bool installedList = appId == QLatin1String("installed") && version.isEmpty() &&
                                   arch.isEmpty() && channel == QLatin1String("main") &&
                                   module == QLatin1String("runtime") && !flag &&
                                   extraText.isEmpty();
        if (!installedList) {
            return {1, QStringLiteral("unsupported query"), QString()};
        }
        QFile file(m_listFile);
        if (!file.open(QIODevice::ReadOnly)) {
            return {2, file.errorString(), QString()};
        }
        return {0, QString(), QString::fromUtf8(file.readAll())};
    }

    QString m_listFile;
};

const QString kJobPath = QStringLiteral("/org/velkor/kapla/JobManager");
const QString kJobInterface = QStringLiteral("org.velkor.kapla.JobManager");

class JobManager : public QDBusVirtualObject
{
public:
    explicit JobManager(const QString &recordFile)
        : m_recordFile(recordFile)
    {}

    QString introspect(const QString &) const override { return {}; }

    bool handleMessage(const QDBusMessage &message, const QDBusConnection &connection) override
    {
        if (message.interface() != kJobInterface || message.member() != QLatin1String("Cancel"))
            return false;
        const QVariantList arguments = message.arguments();
        const QString id = arguments.isEmpty() ? QString() : arguments.constFirst().toString();
        if (!m_recordFile.isEmpty()) {
            QFile file(m_recordFile);
            if (file.open(QIODevice::Append | QIODevice::Text))
                QTextStream(&file) << "Cancel " << id << "\n";
        }
        connection.send(message.createReply());
        return true;
    }

private:
    QString m_recordFile;
};

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = app.arguments();
    if (arguments.size() != 2 && arguments.size() != 3) {
        std::fprintf(stderr, "usage: twk-kapla-pm-standin <JSON file> [<record file>]\n");
        return 2;
    }
    qDBusRegisterMetaType<QueryAnswer>();

    QDBusConnection bus = QDBusConnection::systemBus();
    PackageManager manager(arguments.at(1));
    JobManager jobs(arguments.value(2));
    if (!bus.registerVirtualObject(kPath, &manager) ||
        !bus.registerVirtualObject(kJobPath, &jobs) || !bus.registerService(kName)) {
        std::fprintf(stderr, "cannot serve %s: %s\n", qPrintable(kName),
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
