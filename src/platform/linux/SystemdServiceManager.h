#pragma once
// Services on Linux: systemd, driven through systemctl with an argument
// vector. The Windows service names of the 1C server agent map to the units
// the 1C installers create:
//
//   "1C:Enterprise 8.3 Server Agent" -> srv1cv8-8.3.*@*.service (one per
//                                       installed platform version), or the
//                                       older srv1cv83.service
//   "1C:Enterprise 8.2 Server Agent" -> srv1cv82.service
//   "1C:Enterprise 8.1 Server Agent" -> srv1cv81.service
//
// Any other name is a unit of that name (".service" added when it has no
// suffix). Among several 8.3 units, the running one is used; when none runs,
// the newest version.

#include "common/Platform.h"

namespace dozorix {

class SystemdServiceManager : public ServiceManager
{
public:
    explicit SystemdServiceManager(QString systemctl = QStringLiteral("systemctl"));

    int queryState(const QString &service, State *state) override;
    int start(const QString &service) override;
    int stop(const QString &service) override;

    // Unit name patterns for a Windows service name, in order of preference.
    static QStringList unitPatterns(const QString &service);

private:
    struct Run {
        int exitCode = -1;
        int spawnError = 0;
        QByteArray output;
    };
    Run systemctl(const QStringList &args) const;
    // Picks the unit for the service; 0 or a Windows error code.
    int resolve(const QString &service, QString *unit, State *state) const;
    int control(const QString &verb, const QString &service);
    int mapFailure(const Run &run) const;

    QString m_systemctl;
};

} // namespace dozorix
