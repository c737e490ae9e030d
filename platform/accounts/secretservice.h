#ifndef RUVELANT_SECRETSERVICE_H
#define RUVELANT_SECRETSERVICE_H

#include <QString>

// The desktop's Secret Service (GNOME Keyring, KWallet, KeePassXC...) on the session bus.
namespace SecretService {
// Whether one runs, or can be started, on this session's bus; *why says why not.
bool isAvailable(QString *why = nullptr);
} // namespace SecretService

#endif
