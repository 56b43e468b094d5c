// What the libkn suites share for their files: whole files as text, and a
// fixture with a private temporary folder.
#pragma once

#include "testkit/tempdir.hpp"

#include <sys/stat.h>

#include <filesystem>
#include <string>

#include <gtest/gtest.h>

namespace kntest
{

/** The whole file; empty when it cannot be read. */
std::string readText(const std::filesystem::path& path);

/** Replaces the file with the text, making its folder first when missing. */
void writeText(const std::filesystem::path& path, const std::string& text);

/** The file's status; the test fails when there is none. */
struct stat statOf(const std::filesystem::path& path);

/** A test with a private temporary folder, removed with everything in it
 *  when the test ends. */
class FolderTest : public testing::Test
{
  protected:
    explicit FolderTest(const std::string& prefix) : dir(prefix) {}

    /** The path of a name in the folder (nothing is created). */
    std::string path(const std::string& name) const
    {
        return (dir / name).string();
    }

    testkit::TempDir dir;
};

} // namespace kntest
