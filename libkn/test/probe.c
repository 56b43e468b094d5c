/* A fresh process for the tests: checks that need a process of their own. */
#include <libkn/misc.h>
#include <libkn/shm.h>
#include <stdio.h>
#include <string.h>

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
    fprintf(stderr, "usage: probe current-path NAME | fresh-shm\n");
    return 1;
}
