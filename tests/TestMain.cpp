#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char** argv)
{
    // Tests that do not name a settings store get a scratch one, never the user's.
    const std::string settings =
        (std::filesystem::temp_directory_path() / ("pictra-tests-" + std::to_string(getpid()) + ".db")).string();
    setenv("PICTRA_SETTINGS", settings.c_str(), 1);
    testing::InitGoogleTest(&argc, argv);
    const int result = RUN_ALL_TESTS();
    for (const char* suffix : {"", "-wal", "-shm"})
        std::filesystem::remove(settings + suffix);
    return result;
}
