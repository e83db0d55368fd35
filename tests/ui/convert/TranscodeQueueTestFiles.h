// Paths for the conversion queue's tests: each case gets a fresh folder of its own in the scratch directory.
#pragma once

#include "tests/support/TestSupport.h"

#include <QString>

#include <filesystem>
#include <string>

namespace kvr::test {

inline QString q(const std::filesystem::path& path)
{
    return QString::fromStdString(path.string());
}

// An empty folder of that name below the scratch directory, emptied first when a run left one.
inline std::filesystem::path freshDir(const std::string& name)
{
    const std::filesystem::path dir = scratchDirectory() / name;
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    return dir;
}

} // namespace kvr::test
