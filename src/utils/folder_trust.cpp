#include "folder_trust.h"

#include <QFile>

#include <sys/stat.h>

namespace AppStore {

namespace {

bool isRootsOwnStatus(const struct stat &info)
{
    return S_ISDIR(info.st_mode) && info.st_uid == 0 && (info.st_mode & S_IWOTH) == 0 &&
           ((info.st_mode & S_IWGRP) == 0 || info.st_gid == 0);
}

} // namespace

bool FolderTrust::isRootsOwn(int folderDescriptor)
{
    struct stat info = {};
    return ::fstat(folderDescriptor, &info) == 0 && isRootsOwnStatus(info);
}

bool FolderTrust::isRootsOwn(const QString &path)
{
    struct stat info = {};
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 && isRootsOwnStatus(info);
}

} // namespace AppStore
