#include "core/spawn.hpp"

#include "core/descriptor.hpp"
#include "core/file_io.hpp"

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

extern char** environ;

namespace kn
{

namespace
{

void drain(int fd, std::string& output, size_t limit)
{
    char chunk[512];
    for (;;)
    {
        ssize_t got = ::read(fd, chunk, sizeof(chunk));
        if (got < 0 && errno == EINTR)
        {
            continue;
        }
        if (got <= 0)
        {
            return;
        }
        size_t room = output.size() < limit ? limit - output.size() : 0;
        output.append(chunk, std::min(room, static_cast<size_t>(got)));
    }
}

} // namespace

int spawnWait(const std::vector<std::string>& argv, std::string* output,
              size_t outputLimit)
{
    if (argv.empty() || argv[0].empty())
    {
        return spawnNotStarted;
    }
    std::vector<std::string> words(argv);
    std::vector<char*> pointers;
    pointers.reserve(words.size() + 1);
    for (auto& word : words)
    {
        pointers.push_back(word.data());
    }
    pointers.push_back(nullptr);

    int fds[2] = {-1, -1};
    if (output != nullptr && ::pipe2(fds, O_CLOEXEC) != 0)
    {
        return spawnNotStarted;
    }
    Descriptor reading(fds[0]);
    Descriptor writing(fds[1]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output != nullptr)
    {
        posix_spawn_file_actions_adddup2(&actions, writing.get(),
                                         STDOUT_FILENO);
    }
    pid_t child = -1;
    int error = posix_spawnp(&child, pointers[0], &actions, nullptr,
                             pointers.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output != nullptr)
    {
        writing.close();
        if (error == 0)
        {
            drain(reading.get(), *output, outputLimit);
        }
        reading.close();
    }
    if (error != 0)
    {
        return spawnNotStarted;
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0)
    {
        if (errno != EINTR)
        {
            return spawnNotStarted;
        }
    }
    return status;
}

} // namespace kn
