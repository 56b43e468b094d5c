/* A fresh process for the tests: checks that need a process of their own. */
#define _GNU_SOURCE
#include <libkn/i2c.h>
#include <libkn/misc.h>
#include <libkn/shm.h>
#include <sched.h>
#include <stdio.h>
#include <string.h>
#include <sys/ipc.h>
#include <sys/shm.h>

/* The main segment is not attached until a process asks for it. */
static int freshShm(void)
{
    if (get_share_mem() != NULL)
    {
        return 2;
    }
    void* address = get_shm_address();
    if (address == NULL)
    {
        return 3;
    }
    if (get_share_mem() != address || init_shm() != address)
    {
        return 4;
    }
    return 0;
}

/* In an IPC namespace of its own where the main segment's key holds a
 * segment too small to attach, a switch claim reports the missing segment
 * before touching the bus. */
static int switchWithoutSegment(void)
{
    if (unshare(CLONE_NEWIPC) != 0)
    {
        return 2;
    }
    if (shmget(KN_SHM_MAIN_KEY, 4096, IPC_CREAT | IPC_EXCL | 0600) < 0)
    {
        return 3;
    }
    if (switch_channel_request(-1, 0, 0, 0x70, 1) != KN_MUX_NO_SHARED_MEMORY)
    {
        return 4;
    }
    return get_shm_address() == NULL ? 0 : 5;
}

int main(int argc, char** argv)
{
    if (argc == 3 && strcmp(argv[1], "current-path") == 0)
    {
        char buffer[KN_CURRENT_PATH_SIZE];
        if (GetCurrentPath(buffer, argv[2]) != 0)
        {
            return 2;
        }
        printf("%s\n", buffer);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "fresh-shm") == 0)
    {
        return freshShm();
    }
    if (argc == 2 && strcmp(argv[1], "switch-without-segment") == 0)
    {
        return switchWithoutSegment();
    }
    fprintf(stderr, "usage: probe current-path NAME | fresh-shm | "
                    "switch-without-segment\n");
    return 1;
}
