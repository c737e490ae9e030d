#include "programs.h"

#include "regularfile.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QPointer>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

Q_LOGGING_CATEGORY(lcPrograms, "ruvelant.programs", QtInfoMsg)
// Every start of a program, whoever starts it (run() notes its own in ruvelant.programs).
Q_LOGGING_CATEGORY(lcStarts, "ruvelant.programs.starts", QtInfoMsg)

const char Programs::ToolsFolderVariable[] = "RUVELANT_TOOLS_DIR";

namespace {
// The absolute paths that name our own programs, and their names in the tools folder.
struct OwnProgram
{
    const char *absolutePath;
    const char *name;
};
constexpr OwnProgram ownPrograms[] = {{"/bin/launchctl", "launchctl"}, {"/usr/bin/defaults", "defaults"}};

// The exit status of a child whose parent died before it could take the death signal: "try
// again later" (sysexits.h), as nothing of its work was done.
constexpr int exTempFail = 75;

QString errnoText(int code)
{
    return QString::fromLocal8Bit(std::strerror(code));
}

void closeAll(std::initializer_list<int> fds)
{
    for (int fd : fds) {
        if (fd >= 0)
            ::close(fd);
    }
}

// The path to start for program: pathFor() of an absolute path, else the program found on PATH
// (itself when none is: the start then fails with its own error).
QString resolved(const QString &program)
{
    if (QDir::isAbsolutePath(program))
        return Programs::pathFor(program);
    const QString found = QStandardPaths::findExecutable(program);
    return found.isEmpty() ? program : found;
}

// The descriptor a child reads its input from: a sealed memory file holding input (no one can
// change it once the child may read it), or /dev/null for no input. -1 with *error set.
int inputFile(const QByteArray &input, QString *error)
{
    if (input.isEmpty()) {
        const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            *error = errnoText(errno);
        return fd;
    }
    const int fd = ::memfd_create("input", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0 || !RegularFile::writeAll(fd, input)
        || ::fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL) != 0
        || ::lseek(fd, 0, SEEK_SET) != 0) {
        *error = QStringLiteral("cannot hold the input: ") + errnoText(errno);
        closeAll({fd});
        return -1;
    }
    return fd;
}

// One output channel of a child: where it writes (writeEnd, -1 to pass this process's own on)
// and, when kept, the pipe end this process reads and what it has read.
struct Channel
{
    int readEnd = -1;
    int writeEnd = -1;
    QByteArray kept;
    int limit = 0;
    qint64 size = 0; // all it has read

    bool open(Programs::Channel how, int keepLimit)
    {
        limit = keepLimit;
        if (how == Programs::Discard) {
            writeEnd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
            return writeEnd >= 0;
        }
        if (how == Programs::Keep) {
            int ends[2];
            if (::pipe2(ends, O_CLOEXEC) != 0)
                return false;
            readEnd = ends[0];
            writeEnd = ends[1];
        }
        return true;
    }
    // Reads what is there; false at the end (no writer left).
    bool read()
    {
        char buffer[4096];
        const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
        if (n > 0) {
            size += n;
            if (kept.size() < limit)
                kept.append(buffer, int(n));
        }
        return n != 0;
    }
    // What it wrote last, without waiting for children that may still hold the pipe.
    void drain()
    {
        if (readEnd < 0)
            return;
        ::fcntl(readEnd, F_SETFL, O_NONBLOCK);
        // What is in the pipe now, at most a pipe's worth more than is kept.
        for (qint64 drained = 0; drained < limit + 65536;) {
            char buffer[4096];
            const ssize_t n = ::read(readEnd, buffer, sizeof buffer);
            if (n <= 0)
                break;
            drained += n;
            size += n;
            if (kept.size() < limit)
                kept.append(buffer, int(n));
        }
        ::close(readEnd);
        readEnd = -1;
    }
};

// A child being started: everything it needs is made before it exists, as after vfork() it may
// only make system calls.
struct Spawn
{
    QByteArray path;
    QList<QByteArray> words;
    std::vector<char *> argv;
    int input = -1;
    Channel output, errors;
    int started[2] = {-1, -1}; // closed by a successful exec, else given its errno
    bool endsWithParent = false;
    qint64 memoryLimit = -1;
    pid_t parent = ::getpid();

    Spawn(const QString &program, const QStringList &arguments) : path(QFile::encodeName(program))
    {
        words.append(path);
        for (const QString &argument : arguments)
            words.append(argument.toLocal8Bit());
        for (QByteArray &word : words)
            argv.push_back(word.data());
        argv.push_back(nullptr);
    }

    // In the child: puts every signal handler back to its default, takes the death signal and
    // the three channels, and becomes the program. Never returns.
    [[noreturn]] void becomeProgram(const sigset_t &mask)
    {
        for (int signal = 1; signal < NSIG; ++signal) {
            struct sigaction action;
            if (::sigaction(signal, nullptr, &action) == 0 && action.sa_handler != SIG_IGN
                && action.sa_handler != SIG_DFL) {
                action.sa_handler = SIG_DFL;
                action.sa_flags = 0;
                ::sigaction(signal, &action, nullptr);
            }
        }
        ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        if (endsWithParent) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent) // the parent died before the line above
                ::_exit(exTempFail);
        }
        if (memoryLimit >= 0) {
            const struct rlimit limit
            {
                rlim_t(memoryLimit), rlim_t(memoryLimit)
            };
            ::setrlimit(RLIMIT_DATA, &limit);
        }
        ::dup2(input, STDIN_FILENO);
        if (output.writeEnd >= 0)
            ::dup2(output.writeEnd, STDOUT_FILENO);
        if (errors.writeEnd >= 0)
            ::dup2(errors.writeEnd, STDERR_FILENO);
        ::execv(path.constData(), argv.data());
        const int code = errno;
        (void)!::write(started[1], &code, sizeof code);
        ::_exit(127);
    }

    // Starts the child; its pid, or -1 with *startError set (fork's or exec's error number).
    pid_t fork(int *startError)
    {
        pid_t child = -1;
        // vfork(): the child borrows this process's memory until it runs the program instead of
        // copying its page tables (most of a millisecond per start). Signals stay blocked until
        // the child has put every handler back to its default, so that none of this program's
        // runs in it.
        sigset_t all, mask;
        ::sigfillset(&all);
        ::pthread_sigmask(SIG_SETMASK, &all, &mask);
        if (::pipe2(started, O_CLOEXEC) == 0)
            child = ::vfork();
        if (child == 0)
            becomeProgram(mask);
        *startError = errno;
        ::pthread_sigmask(SIG_SETMASK, &mask, nullptr);
        closeAll({input, output.writeEnd, errors.writeEnd, started[1]});
        int execError = 0;
        if (child > 0) {
            ssize_t n;
            while ((n = ::read(started[0], &execError, sizeof execError)) < 0 && errno == EINTR) { }
            if (n != ssize_t(sizeof execError))
                execError = 0;
        }
        closeAll({started[0]});
        if (child > 0 && execError != 0) {
            ::waitpid(child, nullptr, 0);
            *startError = execError;
            return -1;
        }
        return child;
    }
};

// Why awaitEnd() came back.
enum class End { Ended, Late, TooMuchOutput };

// Waits for child's end, reading its kept channels meanwhile; stops it at the deadline or once
// it has written more than outputLimit (-1: no limit) to its output. Its wait status in *status.
End awaitEnd(pid_t child, Channel *output, Channel *errors, const QDeadlineTimer &deadline, qint64 outputLimit,
             int *status)
{
    // Readable once the child has ended, so that its end is seen at once (-1 on kernels before 5.3).
    const int ended = static_cast<int>(::syscall(SYS_pidfd_open, child, 0));
    bool outputOpen = output->readEnd >= 0;
    bool errorsOpen = errors->readEnd >= 0;
    End end = End::Ended;
    for (;;) {
        if (::waitpid(child, status, WNOHANG) == child)
            break;
        const bool late = deadline.hasExpired();
        if (late || (outputLimit >= 0 && output->size > outputLimit)) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, status, 0) < 0 && errno == EINTR) { }
            end = late ? End::Late : End::TooMuchOutput;
            break;
        }
        // Without a pipe to watch (no writer left) nor a pidfd, this waits a millisecond.
        pollfd watched[3] = {{outputOpen ? output->readEnd : -1, POLLIN, 0},
                             {errorsOpen ? errors->readEnd : -1, POLLIN, 0},
                             {ended, POLLIN, 0}};
        const bool watching = outputOpen || errorsOpen || ended >= 0;
        const int wait
            = int(std::min<qint64>(deadline.remainingTime() < 0 ? 50 : deadline.remainingTime(), watching ? 50 : 1));
        if (::poll(watched, 3, wait) > 0) {
            if (watched[0].revents != 0)
                outputOpen = output->read();
            if (watched[1].revents != 0)
                errorsOpen = errors->read();
        }
    }
    closeAll({ended});
    output->drain();
    errors->drain();
    return end;
}
} // namespace

bool Programs::holdsTools(const QString &folder)
{
    for (const OwnProgram &program : ownPrograms) {
        const QFileInfo file(folder + QLatin1Char('/') + QLatin1String(program.name));
        if (!file.isFile() || !file.isExecutable()) {
            return false;
        }
    }
    return true;
}

QString Programs::toolsFolderNear(const QString &programFolder)
{
    QDir dir(QFileInfo(programFolder).absoluteFilePath());
    // Five levels up reaches PREFIX from PREFIX/lib/ruvelant/X.app/Contents/MacOS.
    for (int level = 0; level <= 5; ++level) {
        for (const QString &candidate :
             {dir.path(), dir.filePath(QStringLiteral("bin")), dir.filePath(QStringLiteral("lib/ruvelant/bin"))}) {
            if (holdsTools(candidate)) {
                return QDir::cleanPath(candidate);
            }
        }
        if (!dir.cdUp()) {
            break;
        }
    }
    return QString();
}

QString Programs::toolsFolder()
{
    const QString named = qEnvironmentVariable(ToolsFolderVariable);
    if (!named.isEmpty()) {
        return QDir::cleanPath(QFileInfo(named).absoluteFilePath());
    }
    const QString executable = QFileInfo(QStringLiteral("/proc/self/exe")).canonicalFilePath();
    return toolsFolderNear(QFileInfo(executable).absolutePath());
}

QString Programs::commandsFolder()
{
    const QString tools = toolsFolder();
    const QLatin1String privateFolder("/lib/ruvelant/bin");
    return tools.endsWith(privateFolder) ? tools.chopped(privateFolder.size()) + QStringLiteral("/bin") : tools;
}

QString Programs::pathFor(const QString &absolutePath)
{
    for (const OwnProgram &program : ownPrograms) {
        if (absolutePath != QLatin1String(program.absolutePath)) {
            continue;
        }
        const QString folder = toolsFolder();
        static std::atomic<bool> told {false};
        if (folder.isEmpty()) {
            if (!told.exchange(true))
                qCWarning(lcPrograms).noquote()
                    << "our programs (launchctl, defaults) are not found near this program"
                    << "and" << ToolsFolderVariable << "is not set; starting" << absolutePath;
            return absolutePath;
        }
        return folder + QLatin1Char('/') + QLatin1String(program.name);
    }
    return absolutePath;
}

Programs::Outcome Programs::execute(const QString &program, const QStringList &arguments, const Options &options)
{
    Outcome outcome;
    const QString path = resolved(program);
    qCDebug(lcStarts).noquote() << "starting" << path << arguments.join(QLatin1Char(' '));
    Spawn spawn(path, arguments);
    spawn.endsWithParent = options.endsWithThisProcess;
    spawn.memoryLimit = options.memoryLimit;
    spawn.input = inputFile(options.input, &outcome.error);
    if (spawn.input < 0) {
        return outcome;
    }
    if (!spawn.output.open(options.output, options.keepLimit)
        || !spawn.errors.open(options.errors, options.keepLimit)) {
        outcome.startError = errno;
        outcome.error = errnoText(outcome.startError);
        closeAll(
            {spawn.input, spawn.output.readEnd, spawn.output.writeEnd, spawn.errors.readEnd, spawn.errors.writeEnd});
        return outcome;
    }
    const pid_t child = spawn.fork(&outcome.startError);
    if (child <= 0) {
        outcome.error = errnoText(outcome.startError);
        closeAll({spawn.output.readEnd, spawn.errors.readEnd});
        return outcome;
    }
    int status = 0;
    const End end = awaitEnd(child, &spawn.output, &spawn.errors, QDeadlineTimer(options.timeoutMs),
                             options.outputLimit, &status);
    outcome.output = spawn.output.kept;
    outcome.outputSize = spawn.output.size;
    outcome.errors = spawn.errors.kept;
    if (end == End::Late) {
        outcome.how = Outcome::TimedOut;
    } else if (end == End::TooMuchOutput) {
        outcome.how = Outcome::TooMuchOutput;
    } else {
        outcome.how = WIFEXITED(status) ? Outcome::Exited : Outcome::Signalled;
        outcome.status = WIFEXITED(status) ? WEXITSTATUS(status) : WTERMSIG(status);
    }
    return outcome;
}

QProcess *Programs::start(const QString &program, const QStringList &arguments, const Options &options,
                          QObject *context, std::function<void(const Outcome &)> done)
{
    auto *process = new QProcess(context);
    const auto channelMode = [&options] {
        if (options.output == PassOn)
            return options.errors == PassOn ? QProcess::ForwardedChannels : QProcess::ForwardedOutputChannel;
        return options.errors == PassOn ? QProcess::ForwardedErrorChannel : QProcess::SeparateChannels;
    };
    process->setProcessChannelMode(channelMode());
    if (options.output == Discard)
        process->setStandardOutputFile(QProcess::nullDevice());
    if (options.errors == Discard)
        process->setStandardErrorFile(QProcess::nullDevice());
    if (options.input.isEmpty())
        process->setStandardInputFile(QProcess::nullDevice());
    auto outcome = std::make_shared<Outcome>();
    auto finish = [process, outcome, done, limit = options.keepLimit] {
        outcome->output = process->readAllStandardOutput();
        outcome->outputSize = outcome->output.size();
        outcome->output.truncate(limit);
        outcome->errors = process->readAllStandardError().left(limit);
        process->disconnect();
        process->deleteLater();
        done(*outcome);
    };
    if (options.timeoutMs >= 0) {
        auto *timer = new QTimer(process);
        timer->setSingleShot(true);
        QObject::connect(timer, &QTimer::timeout, process, [process, outcome] {
            outcome->how = Outcome::TimedOut;
            process->kill();
        });
        timer->start(options.timeoutMs);
    }
    // context receives the end: disconnecting it from the process silences done. A failed start
    // is told after start() has returned, also when QProcess finds it at once.
    auto starting = std::make_shared<bool>(true);
    QObject::connect(process, &QProcess::errorOccurred, context,
                     [process, outcome, finish, starting, context](QProcess::ProcessError error) {
                         if (error != QProcess::FailedToStart) {
                             return;
                         }
                         outcome->error = process->errorString();
                         if (*starting) {
                             QTimer::singleShot(0, context, finish);
                         } else {
                             finish();
                         }
                     });
    QObject::connect(process, qOverload<int, QProcess::ExitStatus>(&QProcess::finished), context,
                     [outcome, finish](int code, QProcess::ExitStatus status) {
                         if (outcome->how != Outcome::TimedOut) {
                             outcome->how = status == QProcess::NormalExit ? Outcome::Exited : Outcome::Signalled;
                             outcome->status = code;
                         }
                         finish();
                     });
    const QString path = resolved(program);
    qCDebug(lcStarts).noquote() << "starting" << path << arguments.join(QLatin1Char(' '));
    process->start(path, arguments);
    *starting = false;
    if (!options.input.isEmpty()) {
        process->write(options.input);
        process->closeWriteChannel();
    }
    return process;
}

bool Programs::startDetached(const QString &program, const QStringList &arguments, const Options &options,
                             QString *error)
{
    const QString path = resolved(program);
    qCDebug(lcStarts).noquote() << "starting" << path << arguments.join(QLatin1Char(' '));
    QProcess process;
    process.setProgram(path);
    process.setArguments(arguments);
    // A program that outlives this one must not hold its input and output open: a caller reading
    // them to their end would wait as long as it runs.
    process.setStandardInputFile(QProcess::nullDevice());
    if (options.output != PassOn)
        process.setStandardOutputFile(QProcess::nullDevice());
    if (options.errors != PassOn)
        process.setStandardErrorFile(QProcess::nullDevice());
    if (!process.startDetached()) {
        if (error)
            *error = process.errorString();
        return false;
    }
    return true;
}

int Programs::run(const QString &absolutePath, const QStringList &arguments, QString *error, QString *standardError)
{
    const auto fail = [error](const QString &message) {
        qCWarning(lcPrograms).noquote() << message;
        if (error) {
            *error = message;
        }
        return -1;
    };
    if (!QDir::isAbsolutePath(absolutePath)) {
        return fail(QStringLiteral("%1 is not an absolute path").arg(absolutePath));
    }
    const QString path = pathFor(absolutePath);
    qCDebug(lcPrograms).noquote() << "starting" << absolutePath << arguments.join(QLatin1Char(' '));
    Options options;
    options.output = PassOn;
    options.errors = standardError ? Keep : PassOn;
    Outcome outcome;
    const QCoreApplication *app = QCoreApplication::instance();
    if (app && app->thread() == QThread::currentThread()) {
        // Windows stay painted while it runs, but take no input meant for after it.
        QEventLoop loop;
        bool ended = false;
        start(absolutePath, arguments, options, &loop, [&](const Outcome &result) {
            outcome = result;
            ended = true;
            loop.quit();
        });
        if (!ended) {
            loop.exec(QEventLoop::ExcludeUserInputEvents);
        }
    } else {
        outcome = execute(absolutePath, arguments, options);
    }
    if (standardError) {
        *standardError = QString::fromLocal8Bit(outcome.errors);
    }
    if (outcome.how == Outcome::NotStarted) {
        return fail(QStringLiteral("%1 could not be started: %2").arg(path, outcome.error));
    }
    if (outcome.how != Outcome::Exited) {
        return fail(QStringLiteral("%1 did not exit normally").arg(path));
    }
    return outcome.status;
}
