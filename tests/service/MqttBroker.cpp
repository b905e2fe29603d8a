#include "MqttBroker.h"
#include "TestHost.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace {

constexpr const char* kBroker = "/usr/sbin/mosquitto";
constexpr int kReadyLimitMs = 10000;

bool Accepts(int port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<uint16_t>(port));
    const bool ok = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

pid_t Spawn(const std::vector<std::string>& argv, const std::string& output)
{
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        const int out = open(output.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (out >= 0) {
            dup2(out, 1);
            dup2(out, 2);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    return pid;
}

}  // namespace

bool RunProgram(const std::vector<std::string>& argv)
{
    const pid_t pid = Spawn(argv, "/dev/null");
    int status = 0;
    return pid > 0 && waitpid(pid, &status, 0) == pid && WIFEXITED(status) &&
           WEXITSTATUS(status) == 0;
}

MqttBroker::MqttBroker()
{
    std::string pattern = std::filesystem::temp_directory_path().string() + "/quorvan-mqtt-XXXXXX";
    if (mkdtemp(pattern.data()) != nullptr)
        m_dir = pattern;
}

MqttBroker::~MqttBroker()
{
    Stop();
    std::error_code ec;
    if (!m_dir.empty())
        std::filesystem::remove_all(m_dir, ec);
}

bool MqttBroker::Start(bool anonymous, const std::string& listenerLines)
{
    m_anonymous = anonymous;
    m_listenerLines = listenerLines;
    // Another program may take the port between the probe and the bind.
    for (int attempt = 0; attempt < 5; ++attempt) {
        m_port = FreeLoopbackPort();
        if (m_port > 0 && Launch())
            return true;
    }
    return false;
}

bool MqttBroker::Restart()
{
    return Launch();
}

bool MqttBroker::Launch()
{
    const passwd* me = getpwuid(geteuid());
    std::ofstream conf(m_dir + "/mosquitto.conf", std::ios::trunc);
    conf << "listener " << m_port << " 127.0.0.1\n"
         << m_listenerLines << "allow_anonymous " << (m_anonymous ? "true" : "false") << "\n"
         << (m_anonymous ? "" : "password_file " + m_dir + "/passwd\n") << "persistence false\n"
         << "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n"
         << "user " << (me != nullptr ? me->pw_name : "mosquitto") << "\n";
    conf.close();
    m_pid = Spawn({kBroker, "-c", m_dir + "/mosquitto.conf"}, m_dir + "/broker.log");
    if (m_pid < 0)
        return false;
    const auto deadline =
        std::chrono::steady_clock::now() + std::chrono::milliseconds(kReadyLimitMs);
    while (std::chrono::steady_clock::now() < deadline) {
        int status;
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        if (Accepts(m_port))
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    Reap(SIGKILL);
    return false;
}

void MqttBroker::Reap(int signal)
{
    if (m_pid <= 0)
        return;
    kill(m_pid, signal);
    int status;
    waitpid(m_pid, &status, 0);
    m_pid = -1;
}

void MqttBroker::Kill()
{
    Reap(SIGKILL);
}

void MqttBroker::Stop()
{
    Reap(SIGTERM);
}

bool MqttBroker::Reload()
{
    return m_pid > 0 && kill(m_pid, SIGHUP) == 0;
}

bool MqttBroker::SetUser(const std::string& user, const std::string& password)
{
    const std::string file = m_dir + "/passwd";
    if (!std::filesystem::exists(file))
        return RunProgram({"/usr/bin/mosquitto_passwd", "-c", "-b", file, user, password});
    return RunProgram({"/usr/bin/mosquitto_passwd", "-b", file, user, password});
}

bool MqttBroker::RemoveUser(const std::string& user)
{
    return RunProgram({"/usr/bin/mosquitto_passwd", "-D", m_dir + "/passwd", user});
}
