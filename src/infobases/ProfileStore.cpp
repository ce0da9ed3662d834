#include "infobases/ProfileStore.h"

#include "common/IniFile.h"
#include "common/ProgramDir.h"

namespace dozorix {

namespace {

ProfileHolder *g_holder = nullptr;

QString noSuchProfileText(int n)
{
    return QStringLiteral("нет профиля информационной базы с номером %1 (номера от 1 до %2)").arg(n).arg(kProfileCount);
}

ProfileWrite finishWrite(IniFile &ini)
{
    if (saveSettingsFile(ini))
        return {ProfileWrite::Written, {}};
    if (ini.skipped())
        return {ProfileWrite::NoFile, {}};
    return {ProfileWrite::Failed, ini.error()};
}

} // namespace

ProfileSet::ProfileSet()
{
    for (int n = 1; n <= kProfileCount; ++n)
        profile(n).number = n;
}

bool loadProfiles(const IniFile &ini, ProfileSet &set)
{
    if (!ini.fileExisted())
        return false;
    set.hideComConnections = ini.readBool(kMonitoringSection, kComAllKey, set.hideComConnections);
    for (int n = 1; n <= kProfileCount; ++n) {
        InfobaseProfile &p = set.profile(n);
        const QString section = profileSection(n);
        p.path = ini.readString(section, ProfileKey::StrokaCon, p.path);
        p.fileLogin = ini.readString(section, ProfileKey::LoginF, p.fileLogin);
        p.filePassword = ini.readString(section, ProfileKey::PassF, p.filePassword);
        const bool radioF = ini.readBool(section, ProfileKey::RadioF, p.fileType);
        // RadioClient's default is its button's state once RadioF is set:
        // checking "Файловая" has cleared it.
        const bool radioClient = ini.readBool(section, ProfileKey::RadioClient, radioF ? false : p.clientServer);
        applyTypeFlags(p, radioF, radioClient);
        p.cluster = ini.readString(section, ProfileKey::KlasterB, p.cluster);
        p.clusterInfobase = ini.readString(section, ProfileKey::IBNAmeKlaster, p.clusterInfobase);
        p.clusterLogin = ini.readString(section, ProfileKey::LoginK, p.clusterLogin);
        p.clusterPassword = ini.readString(section, ProfileKey::PassK, p.clusterPassword);
        p.alias = ini.readString(section, aliasKey(n), p.alias);
        p.connect = ini.readString(section, ProfileKey::Connect, p.connect);
        p.connectKS1CBase = ini.readString(section, ProfileKey::ConnectKS1CBase, p.connectKS1CBase);
        p.connectFile1CBase = ini.readString(section, ProfileKey::ConnectFile1CBase, p.connectFile1CBase);
    }
    for (int n = 1; n <= kProfileCount; ++n) {
        const QString connector = ini.readString(profileSection(n), ProfileKey::Connector, QString());
        if (versionIndexOfConnector(connector) >= 0)
            set.profile(n).connector = connector;
    }
    return true;
}

bool loadProfiles(ProfileSet &set)
{
    const IniFile ini(settingsFilePath());
    return loadProfiles(ini, set);
}

ProfileWrite saveProfiles(const ProfileSet &set, const QString &path)
{
    IniFile ini(path);
    if (!ini.fileExisted())
        return {ProfileWrite::NoFile, {}};
    for (int n = 1; n <= kProfileCount; ++n) {
        const InfobaseProfile &p = set.profile(n);
        const QString section = profileSection(n);
        ini.writeString(section, ProfileKey::StrokaCon, p.path);
        ini.writeString(section, ProfileKey::LoginF, p.fileLogin);
        ini.writeString(section, ProfileKey::PassF, p.filePassword);
        ini.writeBool(section, ProfileKey::RadioF, p.fileType);
        ini.writeBool(section, ProfileKey::RadioClient, p.clientServer);
        ini.writeString(section, aliasKey(n), p.alias);
        ini.writeString(section, ProfileKey::KlasterB, p.cluster);
        ini.writeString(section, ProfileKey::IBNAmeKlaster, p.clusterInfobase);
        ini.writeString(section, ProfileKey::LoginK, p.clusterLogin);
        ini.writeString(section, ProfileKey::PassK, p.clusterPassword);
    }
    return finishWrite(ini);
}

ProfileWrite saveProfiles(const ProfileSet &set)
{
    return saveProfiles(set, settingsFilePath());
}

ProfileWrite writeConnector(int n, int versionIndex, const QString &path)
{
    if (!isProfileNumber(n))
        return {ProfileWrite::BadInput, noSuchProfileText(n)};
    if (versionIndex < 0)
        return {ProfileWrite::NothingSelected, {}};
    const QString connector = connectorOfVersionIndex(versionIndex);
    if (connector.isEmpty())
        return {ProfileWrite::BadInput, QStringLiteral("нет версии платформы с номером %1 в списке").arg(versionIndex)};
    IniFile ini(path);
    if (!ini.fileExisted())
        return {ProfileWrite::NoFile, {}};
    ini.writeString(profileSection(n), ProfileKey::Connector, connector);
    return finishWrite(ini);
}

ProfileWrite writeConnector(int n, int versionIndex)
{
    return writeConnector(n, versionIndex, settingsFilePath());
}

InfobaseProfile readProfile(const IniFile &ini, int n)
{
    InfobaseProfile p;
    p.number = n;
    const QString section = profileSection(n);
    p.path = ini.readString(section, ProfileKey::StrokaCon, {});
    p.fileLogin = ini.readString(section, ProfileKey::LoginF, {});
    p.filePassword = ini.readString(section, ProfileKey::PassF, {});
    p.cluster = ini.readString(section, ProfileKey::KlasterB, {});
    p.clusterInfobase = ini.readString(section, ProfileKey::IBNAmeKlaster, {});
    p.clusterLogin = ini.readString(section, ProfileKey::LoginK, {});
    p.clusterPassword = ini.readString(section, ProfileKey::PassK, {});
    p.alias = ini.readString(section, aliasKey(n), {});
    p.fileType = ini.readBool(section, ProfileKey::RadioF, false);
    p.clientServer = ini.readBool(section, ProfileKey::RadioClient, true);
    p.connector = ini.readString(section, ProfileKey::Connector, {});
    p.connect = ini.readString(section, ProfileKey::Connect, {});
    p.connectKS1CBase = ini.readString(section, ProfileKey::ConnectKS1CBase, {});
    p.connectFile1CBase = ini.readString(section, ProfileKey::ConnectFile1CBase, {});
    return p;
}

ProfileRead readProfile(int n, const QString &path)
{
    ProfileRead result;
    if (!isProfileNumber(n)) {
        result.status = ProfileRead::NoSuchProfile;
        result.error = noSuchProfileText(n);
        return result;
    }
    InfobaseProfile &p = result.profile;
    p.number = n;
    p.clientServer = true;
    const IniFile ini(path);
    if (!ini.fileExisted()) {
        result.status = ProfileRead::NoSettingsFile;
        result.error = QStringLiteral("файл настроек «%1» не найден").arg(path);
        return result;
    }
    p = readProfile(ini, n);
    return result;
}

ProfileRead readProfile(int n)
{
    return readProfile(n, settingsFilePath());
}

ProfileRead readProfileForBackupParameter(const QString &parameter)
{
    const int n = profileNumberOfBackupParameter(parameter);
    if (n == 0) {
        ProfileRead result;
        result.status = ProfileRead::NoSuchProfile;
        result.error = QStringLiteral("параметр «%1» не называет профиль: ожидается bak1 … bak%2")
                           .arg(parameter).arg(kProfileCount);
        return result;
    }
    return readProfile(n);
}

ProfileHolder *profileHolder()
{
    return g_holder;
}

void setProfileHolder(ProfileHolder *holder)
{
    g_holder = holder;
}

} // namespace dozorix
