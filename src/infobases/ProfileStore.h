#pragma once
// The fourteen profiles in the settings file: what the profile editor loads
// (`ChitatINI`) and saves on close, the version choice written at once, and
// the reads of the backup runner and of an unattended run "bak<N>".
//
// Every operation opens the settings file, reads or writes, and closes it;
// nothing is cached. Writers follow the existence rule: with no settings
// file nothing is written (the editor never creates it).

#include "infobases/InfobaseProfile.h"

#include <QString>

#include <array>

namespace dozorix {

class IniFile;

// What the editor shows: the fourteen profiles and the check box
// "Не показывать COM-соединения.". In the editor's copy `connector` is the
// connector of the selected version, or empty while no version is selected.
struct ProfileSet {
    std::array<InfobaseProfile, kProfileCount> profiles;
    bool hideComConnections = false; // COMALL of MONITORING1C

    ProfileSet();
    // Profile n, 1 … 14.
    InfobaseProfile &profile(int n) { return profiles.at(static_cast<size_t>(n - 1)); }
    const InfobaseProfile &profile(int n) const { return profiles.at(static_cast<size_t>(n - 1)); }
};

// Loads the settings file over the values in `set`, which serve as the
// defaults (a missing key leaves its value as it was):
// - no file: nothing changes and false is returned;
// - COMALL of MONITORING1C;
// - for each profile, in this order: StrokaCon, LoginF, PassF, RadioF then
//   RadioClient (applyTypeFlags), KlasterB, IBNAmeKlaster, LoginK, PassK,
//   Psevdo<n>;
// - then each profile's Connector (default empty): one of the four names
//   exactly sets `connector`; any other text leaves it as it was.
// The probe keys connect, ConnectKS1CBase and ConnectFile1CBase are read too
// (default: as they were); nothing writes them.
bool loadProfiles(const IniFile &ini, ProfileSet &set);
bool loadProfiles(ProfileSet &set); // the program's settings file

// How a write to the settings file ended.
struct ProfileWrite {
    enum Status {
        Written,   // on disk
        NoFile,    // no settings file: nothing written, as the program wants
        Failed,    // the file could not be written; it is as it was
        BadInput,  // a profile number or version index out of range
        NothingSelected, // no version selected: nothing to write
    };
    Status status = Written;
    QString error; // in Russian, for Failed and BadInput

    bool written() const { return status == Written; }
};

// Saves all fourteen profiles, untouched ones included, in this order per
// section: StrokaCon, LoginF, PassF, RadioF, RadioClient, Psevdo<n>,
// KlasterB, IBNAmeKlaster, LoginK, PassK (an empty field as an empty value,
// flags as "1"/"0"). Connector and the probe keys are not written here.
// A failed write is also logged in red (saveSettingsFile).
ProfileWrite saveProfiles(const ProfileSet &set, const QString &path);
ProfileWrite saveProfiles(const ProfileSet &set);

// Writes Connector of profile n at once: the connector of version index
// 0 … 3. Index -1 (no selection: the user typed into the list) writes
// nothing and gives NothingSelected; an index above 3 or a profile number
// outside 1 … 14 gives BadInput.
ProfileWrite writeConnector(int n, int versionIndex, const QString &path);
ProfileWrite writeConnector(int n, int versionIndex);

// One profile as the backup runner and an unattended run read it straight
// from the settings file: texts default to empty, RadioF to false and
// RadioClient to true (the runner takes a profile without the key as
// client-server). The two flags come as stored, each on its own: the runner
// decides client-server by RadioClient alone.
struct ProfileRead {
    enum Status {
        Read,           // `profile` holds the section (missing keys as defaults)
        NoSettingsFile, // no settings file: `profile` holds the defaults only
        NoSuchProfile,  // the number is not 1 … 14
    };
    Status status = Read;
    InfobaseProfile profile;
    QString error; // for NoSettingsFile and NoSuchProfile, in Russian

    bool ok() const { return status == Read; }
};
ProfileRead readProfile(int n, const QString &path);
// The same from a file already read (n is 1 … 14).
InfobaseProfile readProfile(const IniFile &ini, int n);
ProfileRead readProfile(int n);

// The profile of an unattended run's parameter "bak1" … "bak14": NoSuchProfile
// for any other parameter.
ProfileRead readProfileForBackupParameter(const QString &parameter);

// The in-memory holder of the profiles: the profile editor's hidden instance,
// created at start-up. The backup runner reloads it after a dump and the
// start-up check of an unattended run reads its aliases.
class ProfileHolder
{
public:
    virtual ~ProfileHolder() = default;
    // Loads all fourteen profiles from the settings file.
    virtual void ChitatINI() = 0;
    // The alias of profile n as last loaded by ChitatINI (PsevdoNAME<n>);
    // empty for a number outside 1 … 14.
    virtual QString PsevdoNAME(int n) const = 0;
    // Profile n as the holder holds it now; number 0 outside 1 … 14.
    virtual InfobaseProfile heldProfile(int n) const = 0;
};

// The program's holder, or nullptr before it is created and after it is gone.
// The holder registers itself.
ProfileHolder *profileHolder();
void setProfileHolder(ProfileHolder *holder);

} // namespace dozorix
