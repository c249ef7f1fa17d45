#pragma once

#include "common/apt_task.h"

#include <QString>
#include <QStringList>

namespace AppStore {

// The download-only apt-get run of a pre-download and how its failures are
// read. Kept apart from the worker so that the command and the rules can be
// checked without running apt-get.
class PreDownloadCommand
{
public:
    PreDownloadCommand() = delete;

    // What a failed run's error text asks for. Only the refresh is ever acted
    // on: the repairs change the package system, which a download nobody
    // asked for must not do behind the install queue's back.
    struct Failure
    {
        bool refreshLists = false;   // no such package or version
        bool removeArchives = false; // broken archives named in the output
        bool purgeReinstreq = false; // a half-installed package without archive
    };

    // The longest a download may take, a slow mirror included.
    static constexpr int kRunLimitMs = 30 * 60 * 1000;

    // Name and version as the package system writes them; an empty version
    // means the candidate.
    static bool isAcceptable(const Apt_Task &task);
    static QStringList arguments(const QString &packageName, const QString &version);
    // The child's whole environment.
    static QStringList environment(const Apt_Task &task);
    // Every test is made on the whole text, case-sensitive.
    static Failure classify(const QString &errorText);
};

} // namespace AppStore
