#ifndef INSTALLERINTERFACE_H
#define INSTALLERINTERFACE_H

#include <QObject>

#include <memory>

class ActionController;
class Model;
class QAbstractButton;
class QWidget;
namespace Ui {
class MainMenu;
}

// The installer's main interface: the window of MainMenu.ui, the Model and the ActionController
// that come with it, the controller's model outlet, and every tie between a control and the
// model or the controller, made here in one place. The form's texts are written in English and
// each is the key of its translation in the application's strings table.
class InstallerInterface : public QObject
{
    Q_OBJECT
public:
    explicit InstallerInterface(QObject *parent = nullptr);
    ~InstallerInterface() override;

    QWidget *window() const { return m_window.get(); }
    Model *model() const { return m_model; }
    ActionController *controller() const { return m_controller; }
    QAbstractButton *installButton() const;
    QAbstractButton *uninstallButton() const;

    // Sends the button's action (install for the install button, uinstall for the other) to the
    // controller with the button as sender, as a press does: from the event loop, so that an
    // exception that the action passes on reaches the event loop's top. While a procedure runs,
    // a further action is ignored.
    void sendAction(QAbstractButton *button);

private:
    void showModel();

    std::unique_ptr<QWidget> m_window;
    std::unique_ptr<Ui::MainMenu> m_ui;
    Model *m_model;
    ActionController *m_controller;
};

#endif
