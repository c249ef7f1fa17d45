#pragma once

#include <QString>

namespace AppStore {

// Folders in which root creates, opens or replaces files by name. In a
// folder another user may change, an entry could be swapped for a link to
// any file of the system between a check and its use.
class FolderTrust
{
public:
    FolderTrust() = delete;

    // Only root may add, remove or rename entries: a folder (not a link to
    // one) owned by root that no one else may write to, its group only when
    // that is root's group.
    static bool isRootsOwn(int folderDescriptor);
    static bool isRootsOwn(const QString &path);
};

} // namespace AppStore
