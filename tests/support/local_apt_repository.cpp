#include "local_apt_repository.h"

#include "test_env.h"
#include "utils/package_name_validator.h"
#include "utils/process_runner.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QRandomGenerator>
#include <QThread>
#include <QThreadPool>

#include <atomic>

namespace {

constexpr int kToolTimeoutMs = 60000;
// Rebuilding a version must give the same bytes, or apt sees a hash change.
const char kSourceDateEpoch[] = "SOURCE_DATE_EPOCH=1700000000";

QByteArray filler(const QString &seedText, qint64 size)
{
    QRandomGenerator generator(qHash(seedText));
    QByteArray bytes(size, Qt::Uninitialized);
    for (char &byte : bytes)
        byte = char(generator.generate());
    return bytes;
}

QByteArray controlFile(const QString &name, const QString &version,
                       const LocalAptRepository::PackageOptions &options)
{
    QStringList depends;
    if (!options.depends.isEmpty())
        depends << options.depends;
    if (!options.templates.isEmpty())
        depends << QStringLiteral("debconf");
    QString control = QStringLiteral("Package: %1\nVersion: %2\nArchitecture: all\n"
                                     "Maintainer: Tarnwick Tests <tests@localhost>\n"
                                     "Section: misc\nPriority: %3\n")
                          .arg(name, version, options.priority);
    if (!depends.isEmpty())
        control +=
            QStringLiteral("Depends: ") + depends.join(QStringLiteral(", ")) + QLatin1Char('\n');
    for (auto it = options.controlFields.constBegin(); it != options.controlFields.constEnd(); ++it)
        control += it.key() + QStringLiteral(": ") + it.value() + u'\n';
    control += QStringLiteral("Description: test package %1\n"
                              " Built by the tarnwick-daemon tests; safe to purge.\n")
                   .arg(name);
    return control.toUtf8();
}

QMap<QString, QByteArray> packageFiles(const QString &name, const QString &version,
                                       const LocalAptRepository::PackageOptions &options)
{
    QMap<QString, QByteArray> files = options.files;
    if (options.desktopApplication) {
        files.insert(QStringLiteral("/usr/bin/") + name,
                     QStringLiteral("#!/bin/sh\necho '%1 %2'\n").arg(name, version).toUtf8());
        files.insert(QStringLiteral("/usr/share/applications/%1.desktop").arg(name),
                     QStringLiteral("[Desktop Entry]\nType=Application\nName=%1\n"
                                    "Exec=/usr/bin/%1\nIcon=utilities-terminal\n"
                                    "Categories=Utility;\n")
                         .arg(name)
                         .toUtf8());
    }
    if (options.fillerBytes > 0)
        files.insert(QStringLiteral("/usr/share/%1/filler").arg(name),
                     filler(name + version, options.fillerBytes));
    return files;
}

} // namespace

LocalAptRepository::LocalAptRepository(const QString &folderName)
    : m_dir(folderName.isEmpty() ? QString()
                                 : QDir::tempPath() + u'/' + folderName + QStringLiteral("-XXXXXX"))
{
    // apt's download sandbox user must be able to reach a file: repository.
    QFile::setPermissions(m_dir.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner |
                                            QFile::ReadGroup | QFile::ExeGroup | QFile::ReadOther |
                                            QFile::ExeOther);
    QDir().mkpath(repositoryDir());
}

LocalAptRepository::~LocalAptRepository() = default;

bool LocalAptRepository::addStandardPackages()
{
    PackageOptions config;
    config.desktopApplication = false;
    config.templates = QStringLiteral("Template: twk-test-config/greeting\nType: string\n"
                                      "Default: hello-from-default\n"
                                      "Description: Greeting of the test package\n");
    config.config = QStringLiteral("#!/bin/sh\nset -e\n. /usr/share/debconf/confmodule\n"
                                   "db_input high twk-test-config/greeting || true\n"
                                   "db_go || true\n");
    // stdout belongs to debconf while the confmodule is loaded.
    config.postinst = QStringLiteral("#!/bin/sh\nset -e\n. /usr/share/debconf/confmodule\n"
                                     "db_get twk-test-config/greeting\n"
                                     "echo \"twk-test-config postinst: greeting=$RET\" >&2\n");
    config.postrm = QStringLiteral("#!/bin/sh\nset -e\n"
                                   "if [ \"$1\" = purge ] && [ -e /usr/share/debconf/confmodule ]; "
                                   "then\n  . /usr/share/debconf/confmodule\n  db_purge\nfi\n");

    PackageOptions plugin;
    plugin.desktopApplication = false;
    plugin.depends = QStringLiteral("twk-test-hello (>= 1.0)");

    PackageOptions broken;
    broken.desktopApplication = false;
    broken.postinst = QStringLiteral("#!/bin/sh\necho 'twk-test-broken postinst: failing on "
                                     "purpose' >&2\nexit 1\n");

    const QString version = QStringLiteral("1.0");
    return addPackage(QStringLiteral("twk-test-hello"), version) &&
           addPackage(QStringLiteral("twk-test-config"), version, config) &&
           addPackage(QStringLiteral("twk-test-plugin"), version, plugin) &&
           addPackage(QStringLiteral("twk-test-broken"), version, broken);
}

bool LocalAptRepository::addPackage(const QString &name, const QString &version)
{
    return addPackage(name, version, PackageOptions());
}

bool LocalAptRepository::addPackage(const QString &name, const QString &version,
                                    const PackageOptions &options)
{
    if (!buildPackage(name, version, options))
        return false;
    return !m_published || writeIndex();
}

bool LocalAptRepository::addPackages(const QStringList &names, const QStringList &versions)
{
    return addPackages(names, versions, PackageOptions());
}

bool LocalAptRepository::addPackages(const QStringList &names, const QStringList &versions,
                                     const PackageOptions &options)
{
    // dpkg-deb spends most of its time waiting for the disk, so a few hundred
    // packages build in seconds only side by side.
    QThreadPool pool;
    pool.setMaxThreadCount(qMax(4, QThread::idealThreadCount()));
    std::atomic_bool ok{true};
    for (const QString &name : names) {
        for (const QString &version : versions) {
            pool.start([this, &ok, &options, name, version] {
                if (ok && !buildPackage(name, version, options))
                    ok = false;
            });
        }
    }
    pool.waitForDone();
    if (!ok)
        return false;
    return !m_published || writeIndex();
}

bool LocalAptRepository::buildPackage(const QString &name, const QString &version,
                                      const PackageOptions &options)
{
    const bool markedDummy = name == QLatin1String("velkor-app-store") &&
                             options.controlFields.contains(dummyMarkField());
    if (!(name.startsWith(QLatin1String("twk-test-")) || markedDummy) ||
        !AppStore::PackageNameValidator::isValidPackageName(name) ||
        !AppStore::PackageNameValidator::isValidVersion(version))
        return fail(QStringLiteral("not a test package name and version: ") + name + u' ' +
                    version);
    const QString tree = m_dir.filePath(QStringLiteral("build/") + name + u'_' + version);
    QDir(tree).removeRecursively();
    if (!TestEnv::writeFile(tree + QStringLiteral("/DEBIAN/control"),
                            controlFile(name, version, options)))
        return fail(QStringLiteral("cannot write into ") + tree);

    const QMap<QString, QByteArray> files = packageFiles(name, version, options);
    QByteArray conffiles;
    for (auto it = files.cbegin(); it != files.cend(); ++it) {
        if (!it.key().startsWith(u'/') || it.key().contains(QLatin1String("..")))
            return fail(QStringLiteral("not a plain absolute path: ") + it.key());
        if (!TestEnv::writeFile(tree + it.key(), it.value(),
                                it.key().startsWith(QLatin1String("/usr/bin/")) ||
                                    it.key().startsWith(QLatin1String("/usr/games/"))))
            return fail(QStringLiteral("cannot write ") + it.key());
        if (it.key().startsWith(QLatin1String("/etc/")))
            conffiles += it.key().toUtf8() + '\n';
    }
    if (!conffiles.isEmpty() &&
        !TestEnv::writeFile(tree + QStringLiteral("/DEBIAN/conffiles"), conffiles))
        return fail(QStringLiteral("cannot write conffiles"));
    const QList<std::pair<QString, QString>> scripts{{QStringLiteral("config"), options.config},
                                                     {QStringLiteral("preinst"), options.preinst},
                                                     {QStringLiteral("postinst"), options.postinst},
                                                     {QStringLiteral("prerm"), options.prerm},
                                                     {QStringLiteral("postrm"), options.postrm}};
    for (const auto &[script, text] : scripts) {
        if (!text.isEmpty() &&
            !TestEnv::writeFile(tree + QStringLiteral("/DEBIAN/") + script, text.toUtf8(), true))
            return fail(QStringLiteral("cannot write ") + script);
    }
    if (!options.templates.isEmpty() &&
        !TestEnv::writeFile(tree + QStringLiteral("/DEBIAN/templates"), options.templates.toUtf8()))
        return fail(QStringLiteral("cannot write templates"));

    // dpkg-deb refuses group-writable control folders, and the tree's folders
    // become the installed ones.
    return runTool(QStringLiteral("chmod"),
                   {QStringLiteral("-R"), QStringLiteral("a+rX,go-w"), tree}, tree) &&
           runTool(QStringLiteral("dpkg-deb"),
                   {QStringLiteral("--root-owner-group"), QStringLiteral("-b"), tree,
                    debPath(name, version)},
                   tree);
}

bool LocalAptRepository::writeIndex()
{
    const QString repository = repositoryDir();
    // apt-ftparchive would list an existing Release in the new one.
    QFile::remove(repository + QStringLiteral("/Release"));
    QByteArray packages;
    QByteArray release;
    if (!runTool(
            QStringLiteral("dpkg-scanpackages"),
            {QStringLiteral("--multiversion"), QStringLiteral("."), QStringLiteral("/dev/null")},
            repository, &packages))
        return false;
    if (!TestEnv::writeFile(repository + QStringLiteral("/Packages"), packages))
        return fail(QStringLiteral("cannot write the Packages index"));
    if (!runTool(QStringLiteral("apt-ftparchive"),
                 {QStringLiteral("-o"),
                  QStringLiteral("APT::FTPArchive::Release::Origin=tarnwick-tests"),
                  QStringLiteral("-o"), QStringLiteral("APT::FTPArchive::Release::Suite=stable"),
                  QStringLiteral("release"), QStringLiteral(".")},
                 repository, &release))
        return false;
    const QString staged = m_dir.filePath(QStringLiteral("Release.new"));
    if (!TestEnv::writeFile(staged, release) ||
        !QFile::rename(staged, repository + QStringLiteral("/Release")))
        return fail(QStringLiteral("cannot write the Release file"));
    return true;
}

bool LocalAptRepository::writeAptConfiguration()
{
    const QString apt = m_dir.filePath(QStringLiteral("apt"));
    for (const char *dir :
         {"sources.list.d", "preferences.d", "lists/partial", "archives/partial"}) {
        if (!QDir().mkpath(apt + u'/' + QLatin1String(dir)))
            return fail(QStringLiteral("cannot create ") + apt + u'/' + QLatin1String(dir));
    }
    const QString config = QStringLiteral("Dir::Etc::SourceList \"%1/sources.list\";\n"
                                          "Dir::Etc::SourceParts \"%1/sources.list.d\";\n"
                                          "Dir::Etc::Preferences \"%1/preferences\";\n"
                                          "Dir::Etc::PreferencesParts \"%1/preferences.d\";\n"
                                          "Dir::State::Lists \"%1/lists\";\n"
                                          "Dir::Cache::Archives \"%1/archives\";\n"
                                          // Keeps the machine's auto-installed marks and
                                          // package cache files out of it.
                                          "Dir::State::extended_states \"%1/extended_states\";\n"
                                          "Dir::Cache::pkgcache \"\";\n"
                                          "Dir::Cache::srcpkgcache \"\";\n")
                               .arg(apt);
    if (!TestEnv::writeFile(apt + QStringLiteral("/sources.list"),
                            (sourcesLine() + u'\n').toUtf8()) ||
        !TestEnv::writeFile(aptConfigPath(), config.toUtf8()))
        return fail(QStringLiteral("cannot write the apt configuration"));
    return true;
}

bool LocalAptRepository::startServer(int bytesPerSecond)
{
    const QString repository = repositoryDir();
    const QString script = TestEnv::supportDir() + QStringLiteral("/throttled_http_server.py");
    const auto arguments = [&](quint16 port) {
        if (bytesPerSecond > 0)
            return QStringList{QStringLiteral("-u"), script, repository, QString::number(port),
                               QString::number(bytesPerSecond)};
        return QStringList{QStringLiteral("-u"),          QStringLiteral("-m"),
                           QStringLiteral("http.server"), QString::number(port),
                           QStringLiteral("--bind"),      QStringLiteral("127.0.0.1"),
                           QStringLiteral("--directory"), repository};
    };
    if (!m_server.startOnFreePort(QStringLiteral("python3"), arguments))
        return fail(m_server.errorString());
    m_uri = QStringLiteral("http://127.0.0.1:%1/").arg(m_server.port());
    return true;
}

bool LocalAptRepository::publish(Transport transport, int bytesPerSecond)
{
    if (transport == Transport::File && bytesPerSecond > 0)
        return fail(QStringLiteral("only the web server can be throttled"));
    if (!writeIndex())
        return false;
    if (transport == Transport::Http) {
        if (!startServer(bytesPerSecond))
            return false;
    } else {
        m_uri = QStringLiteral("file:") + repositoryDir();
    }
    if (!writeAptConfiguration())
        return false;
    m_published = true;
    return true;
}

void LocalAptRepository::stopServer()
{
    m_server.stop();
}

QString LocalAptRepository::repositoryDir() const
{
    return m_dir.filePath(QStringLiteral("repo"));
}

QString LocalAptRepository::debPath(const QString &name, const QString &version) const
{
    // Like the archive's own file names, without the epoch.
    return repositoryDir() + u'/' + name + u'_' + version.section(u':', -1) +
           QStringLiteral("_all.deb");
}

QString LocalAptRepository::sourcesLine() const
{
    // apt reads a quoted URI as one word, blanks and all.
    const QString uri = m_uri.contains(u' ') ? u'"' + m_uri + u'"' : m_uri;
    return QStringLiteral("deb [trusted=yes] ") + uri + QStringLiteral(" ./");
}

QString LocalAptRepository::aptConfigPath() const
{
    return m_dir.filePath(QStringLiteral("apt/apt.conf"));
}

QStringList LocalAptRepository::environment() const
{
    return {QStringLiteral("APT_CONFIG=") + aptConfigPath(),
            QStringLiteral("DEBIAN_FRONTEND=noninteractive")};
}

bool LocalAptRepository::runTool(const QString &program, const QStringList &arguments,
                                 const QString &workingDirectory, QByteArray *output)
{
    AppStore::ProcessSpec spec;
    spec.program = program;
    spec.arguments = arguments;
    spec.workingDirectory = workingDirectory;
    spec.environmentMode = AppStore::ProcessSpec::Environment::Extend;
    spec.environment = {QLatin1String(kSourceDateEpoch), QStringLiteral("LC_ALL=C")};
    spec.timeoutMs = kToolTimeoutMs;
    const AppStore::ProcessResult result = AppStore::ProcessRunner::run(spec);
    if (!result.succeeded())
        return fail(program + QStringLiteral(" failed: ") + result.errorString + u' ' +
                    result.errorText().trimmed());
    if (output)
        *output = result.standardOutput;
    return true;
}

QString LocalAptRepository::errorString() const
{
    QMutexLocker locker(&m_errorMutex);
    return m_error;
}

bool LocalAptRepository::fail(const QString &message)
{
    QMutexLocker locker(&m_errorMutex);
    m_error = message;
    qWarning().noquote() << message;
    return false;
}
