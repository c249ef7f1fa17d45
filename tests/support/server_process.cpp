#include "server_process.h"

#include "test_env.h"

namespace {

constexpr int kReadyTimeoutMs = 15000;
// Longer than any test may run: the test ends its servers itself.
constexpr int kLifetimeMs = 60 * 60 * 1000;
constexpr int kPortAttempts = 5;

} // namespace

ServerProcess::ServerProcess() = default;

ServerProcess::~ServerProcess()
{
    stop();
}

bool ServerProcess::start(const QString &program, const QStringList &arguments,
                          const QStringList &environment)
{
    stop();
    m_error.clear();
    m_readyLine.clear();
    m_runner = std::make_unique<AppStore::ProcessRunner>();
    QObject::connect(m_runner.get(), &AppStore::ProcessRunner::standardOutputLine, m_runner.get(),
                     [this](const QString &line) {
                         if (m_readyLine.isEmpty())
                             m_readyLine = line;
                     });

    AppStore::ProcessSpec spec;
    spec.program = QStringLiteral("setpriv");
    spec.arguments = QStringList{QStringLiteral("--pdeathsig"), QStringLiteral("TERM"),
                                 QStringLiteral("--"), program} +
                     arguments;
    spec.environmentMode = AppStore::ProcessSpec::Environment::Extend;
    spec.environment = environment;
    spec.timeoutMs = kLifetimeMs;
    if (!m_runner->start(spec)) {
        m_error = program + QStringLiteral(": ") + m_runner->result().errorString;
        m_runner.reset();
        return false;
    }
    TestEnv::waitFor([this] { return !m_readyLine.isEmpty() || !m_runner->isRunning(); },
                     kReadyTimeoutMs);
    if (!m_readyLine.isEmpty() && m_runner->isRunning())
        return true;
    const AppStore::ProcessResult result = m_runner->result();
    m_error = program + QStringLiteral(" did not get ready: ") + result.errorText().trimmed();
    stop();
    return false;
}

bool ServerProcess::startOnFreePort(const QString &program,
                                    const std::function<QStringList(quint16)> &argumentsForPort,
                                    const QStringList &environment)
{
    for (int attempt = 0; attempt < kPortAttempts; ++attempt) {
        const quint16 port = TestEnv::freeTcpPort();
        if (port != 0 && start(program, argumentsForPort(port), environment)) {
            m_port = port;
            return true;
        }
    }
    return false;
}

void ServerProcess::stop()
{
    if (m_runner) {
        m_runner->kill();
        m_runner->waitForFinished();
        m_runner.reset();
    }
    m_port = 0;
}

bool ServerProcess::isRunning() const
{
    return m_runner && m_runner->isRunning();
}
