#pragma once
// The systemctl stand-in (systemctl_standin.py) copied into a folder of the
// test's own, with its units in a JSON file beside it and every call
// recorded. systemd does not run as the init system here, and tests never
// call the real systemctl: SystemdServiceManager gets this program, a
// folder standing for /run/systemd/system and the test's program directory.
//
//   SystemctlStandIn systemctl(home.path());
//   systemctl.unit("srv1cv8-8.3.24.1467@default.service", "active", "enabled");
//   SystemdServiceManager manager(systemctl.options());

#include "platform/linux/SystemdServiceManager.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QString>
#include <QStringList>

namespace dozorix::test {

class SystemctlStandIn
{
public:
    explicit SystemctlStandIn(const QString &folder)
        : m_dir(folder + QStringLiteral("/standin"))
    {
        QDir().mkpath(m_dir);
        QDir().mkpath(runtimeDirectory());
        const QString source = QStringLiteral(DOZORIX_SOURCE_DIR "/tests/support/systemctl_standin.py");
        QFile::remove(program());
        QFile::copy(source, program());
        QFile::setPermissions(program(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
        save(QJsonObject{{QStringLiteral("units"), QJsonObject()}});
    }

    QString program() const { return m_dir + QStringLiteral("/systemctl"); }
    // Stands for /run/systemd/system: systemd is "running" while it exists.
    QString runtimeDirectory() const { return m_dir + QStringLiteral("/run-systemd-system"); }
    SystemdServiceManager::Options options() const
    {
        SystemdServiceManager::Options o;
        o.systemctl = program();
        o.runtimeDirectory = runtimeDirectory();
        return o;
    }

    // A unit: active is its ActiveState, file its UnitFileState ("enabled",
    // "disabled", "generated"); an init script's unit is wanted by a target
    // when enabled (wantedBy).
    void unit(const QString &name, const QString &active, const QString &file = QStringLiteral("enabled"),
              const QString &wantedBy = QString()) const
    {
        QJsonObject s = load();
        QJsonObject units = s.value(QStringLiteral("units")).toObject();
        QJsonObject u{{QStringLiteral("active"), active}, {QStringLiteral("file"), file}};
        if (!wantedBy.isNull())
            u.insert(QStringLiteral("wanted_by"), wantedBy);
        units.insert(name, u);
        s.insert(QStringLiteral("units"), units);
        save(s);
    }
    // An installed template ("srv1cv8-8.3.24.1467@.service").
    void installedTemplate(const QString &name) const
    {
        QJsonObject s = load();
        QJsonArray t = s.value(QStringLiteral("templates")).toArray();
        t.append(name);
        s.insert(QStringLiteral("templates"), t);
        save(s);
    }
    // verb ("start", "stop") of the unit fails: "denied" (polkit refuses),
    // "job" (the unit's process fails), "hang" (never answers), "slow 2.5"
    // (succeeds after that many seconds).
    void fail(const QString &name, const QString &verb, const QString &how) const
    {
        QJsonObject s = load();
        QJsonObject units = s.value(QStringLiteral("units")).toObject();
        QJsonObject u = units.value(name).toObject();
        QJsonObject f = u.value(QStringLiteral("fail")).toObject();
        f.insert(verb, how);
        u.insert(QStringLiteral("fail"), f);
        units.insert(name, u);
        s.insert(QStringLiteral("units"), units);
        save(s);
    }
    // Every call answers as systemctl does on a host not booted with systemd.
    void notBooted() const
    {
        QJsonObject s = load();
        s.insert(QStringLiteral("not_booted"), true);
        save(s);
    }

    QString active(const QString &name) const
    {
        return load().value(QStringLiteral("units")).toObject().value(name).toObject().value(QStringLiteral("active")).toString();
    }
    // The argument vectors of every call, in order.
    QList<QStringList> calls() const
    {
        QList<QStringList> result;
        QFile f(m_dir + QStringLiteral("/calls.log"));
        if (!f.open(QIODevice::ReadOnly))
            return result;
        for (const QByteArray &line : f.readAll().split('\n')) {
            if (line.isEmpty())
                continue;
            QStringList args;
            for (const QJsonValue &v : QJsonDocument::fromJson(line).array())
                args << v.toString();
            result << args;
        }
        return result;
    }
    // The start and stop calls as "stop <unit>", in order.
    QStringList controls() const
    {
        QStringList result;
        for (const QStringList &args : calls()) {
            if (!args.isEmpty() && (args.front() == QLatin1String("start") || args.front() == QLatin1String("stop")))
                result << args.front() + QLatin1Char(' ') + args.last();
        }
        return result;
    }
    void forgetCalls() const { QFile::remove(m_dir + QStringLiteral("/calls.log")); }

private:
    QString stateFile() const { return m_dir + QStringLiteral("/systemctl-units.json"); }
    QJsonObject load() const
    {
        QFile f(stateFile());
        f.open(QIODevice::ReadOnly);
        return QJsonDocument::fromJson(f.readAll()).object();
    }
    void save(const QJsonObject &s) const
    {
        QFile f(stateFile());
        f.open(QIODevice::WriteOnly | QIODevice::Truncate);
        f.write(QJsonDocument(s).toJson());
    }

    QString m_dir;
};

} // namespace dozorix::test
