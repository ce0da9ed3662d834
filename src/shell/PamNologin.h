#pragma once
// Whether the nologin file really keeps new logons out: pam_nologin refuses
// every logon but root's while the file exists, but only the PAM stacks that
// call it. Debian 12's /etc/pam.d/xrdp-sesman does not, so xrdp logons go
// on while the console says they are blocked; its /etc/pam.d/sshd does
// ("account required pam_nologin.so"), and X2Go logs on through sshd.
//
// The stack of a service is its file in the PAM folder (DOZORIX_PAM_DIR,
// else /etc/pam.d) with what it pulls in: "@include FILE" (every line of
// FILE) and "TYPE include FILE" / "TYPE substack FILE" (the TYPE lines of
// FILE), relative names in the same folder, at most 16 deep. Comments ("#"
// to the end of the line) and continued lines ("\" at the end) are read as
// PAM reads them; a leading "-" on the type is ignored. A line counts when
// its type is "account", or "auth" (not for sshd: a logon with a key never
// runs sshd's auth stack), its control "required" or "requisite", its
// module pam_nologin.so, and it has no "file=" argument or one naming the
// nologin file the console writes.

#include <QString>

#include <vector>

namespace dozorix {

// One installed session server whose logons the nologin file does not stop.
struct NologinGap {
    QString service;  // the PAM service ("xrdp-sesman", "sshd")
    QString label;    // how the administrator knows it ("xrdp", "ssh и X2Go")
    QString file;     // its PAM file
    bool authOnly = false; // sshd: pam_nologin stands only in auth
};

struct NologinCheck {
    std::vector<NologinGap> gaps;
    bool sshdHonours = false; // sshd's stack calls it: administrators other than root are kept out of ssh too
};

// DOZORIX_PAM_DIR, else /etc/pam.d.
QString pamDirectory();

// The session servers installed here (a PAM file for xrdp-sesman, for
// sshd) and whether each stack calls pam_nologin for nologinFile.
NologinCheck checkNologinServices(const QString &pamFolder, const QString &nologinFile);

// What blocking logons adds to its answer: one line per gap (a failure:
// red in the console's log), then, when sshd honours the file, the note
// that administrators other than root cannot log on by ssh either (not a
// failure).
struct NologinLine {
    QString text;
    bool failure = false;
};
std::vector<NologinLine> nologinWarnings(const NologinCheck &check, const QString &nologinFile);

} // namespace dozorix
