#ifndef RUVELANT_EDSBUS_H
#define RUVELANT_EDSBUS_H

#include <QList>
#include <QProcess>
#include <QString>

// A private session bus for tests (dbus-daemon with a configuration of its own), in a folder of a
// throw-away home: started with that home's HOME and XDG_* folders, so that the services it
// starts keep their data there. With Evolution Data Server, the bus starts EDS's source registry
// and calendar and address-book factories on first use (from copies of their service files);
// without, EDS does not exist on it; stuck, EDS's registry is started but never answers. When it
// goes, it ends every program it started (each by its process id) and itself.
class EdsBus
{
public:
    enum Services { WithEds, WithoutEds, StuckEds };

    explicit EdsBus(const QString &folder, Services services = WithEds);
    ~EdsBus();
    Q_DISABLE_COPY(EdsBus)

    // Starts the bus with this process's environment (which the throw-away home has set); false,
    // with a warning, when dbus-daemon does not start.
    bool start();
    // The bus's address, for DBUS_SESSION_BUS_ADDRESS.
    QString address() const { return m_address; }
    // Ends the programs the bus started, then the bus.
    void stop();

private:
    QList<qint64> connectedProcesses() const;

    // The bus ends with the test that started it, also one that crashed or was killed: the
    // services it started then end with it.
    class Daemon : public QProcess
    {
    protected:
        void setupChildProcess() override;
    };

    QString m_folder;
    Services m_services;
    Daemon m_daemon;
    QString m_address;
};

#endif
