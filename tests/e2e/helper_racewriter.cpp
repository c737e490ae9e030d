// Writes the agent's event files while the agent works on them, as a sync tool would, at the
// moment that the mode names, found through inotify:
//   sent FOLDER MAILDIR  when a reminder to eN...@ reaches the mail system, FOLDER/eventN.ics
//                        (after the agent read it, before it marks it);
//   saving FOLDER        when the agent starts saving FOLDER/X (it creates .X.ruvelant-*.tmp), X
//                        (between the agent's check of X and its replace).
// The agent is held (SIGSTOP) while the file is rewritten, so that the moment is exact. Each
// file is rewritten once, as vdirsyncer does (a new file renamed over it), with the line
// "X-WRITER:<file name>" added to its event. Prints "ready" once it watches, then reads the
// agent's process id from standard input; ends when standard input ends, printing how many
// files it rewrote.
#include <QByteArray>
#include <QFile>
#include <QRegularExpression>
#include <QSaveFile>
#include <QSet>

#include <cstdio>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

namespace {
QSet<QByteArray> rewritten;

void rewrite(const QByteArray &folder, const QByteArray &name)
{
    QFile file(QFile::decodeName(folder + '/' + name));
    QByteArray content = file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    const int end = content.indexOf("END:VEVENT");
    QSaveFile out(file.fileName()); // written aside, then renamed over the file
    if (end >= 0 && out.open(QIODevice::WriteOnly) && out.write(content.insert(end, "X-WRITER:" + name + "\r\n")) > 0
        && out.commit())
        rewritten.insert(name);
}

// The event file whose reminder the message is: eN@example.org is eventN.ics.
QByteArray eventOfMessage(const QByteArray &path)
{
    static const QRegularExpression recipient(QStringLiteral("^X-RcptTo: e(\\d+)"),
                                              QRegularExpression::MultilineOption);
    QFile file(QFile::decodeName(path));
    const auto found = recipient.match(QString::fromLatin1(file.open(QIODevice::ReadOnly) ? file.readAll() : ""));
    return found.hasMatch() ? "event" + found.captured(1).toLatin1() + ".ics" : QByteArray();
}
} // namespace

int main(int argc, char **argv)
{
    const QByteArray mode = argc > 2 ? argv[1] : "";
    if (!((mode == "sent" && argc == 4) || (mode == "saving" && argc == 3))) {
        std::fprintf(stderr, "usage: helper_racewriter sent FOLDER MAILDIR | saving FOLDER\n");
        return 2;
    }
    const QByteArray folder = argv[2];
    const QByteArray watched = mode == "sent" ? QByteArray(argv[3]) + "/new" : folder;
    const int inotify = ::inotify_init1(IN_CLOEXEC);
    if (inotify < 0 || ::inotify_add_watch(inotify, watched.constData(), IN_CREATE | IN_MOVED_TO) < 0) {
        std::perror("inotify");
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    long agent = 0;
    if (std::scanf("%ld", &agent) != 1)
        return 1;

    pollfd fds[2] = {{inotify, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    alignas(inotify_event) char buffer[65536];
    for (;;) {
        if (::poll(fds, 2, -1) < 0)
            continue;
        if (fds[1].revents) {
            char ignored[64];
            if (::read(STDIN_FILENO, ignored, sizeof ignored) <= 0)
                break;
        }
        if (!(fds[0].revents & POLLIN))
            continue;
        const ssize_t n = ::read(inotify, buffer, sizeof buffer);
        for (ssize_t at = 0; at < n;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            const QByteArray name = event->len ? QByteArray(event->name) : QByteArray();
            QByteArray target;
            if (mode == "sent") {
                target = eventOfMessage(watched + '/' + name);
            } else if (name.startsWith('.') && name.contains(".ics.ruvelant-") && name.endsWith(".tmp")) {
                target = name.mid(1, name.indexOf(".ruvelant-") - 1);
            }
            if (target.isEmpty() || rewritten.contains(target))
                continue;
            ::kill(pid_t(agent), SIGSTOP);
            rewrite(folder, target);
            ::kill(pid_t(agent), SIGCONT);
        }
    }
    std::printf("%d\n", int(rewritten.size()));
    return 0;
}
