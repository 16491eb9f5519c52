// What the fuzz targets share.
#pragma once

#include <cstdlib>
#include <string>

#include <glib.h>

// A new temporary directory for the run; `remove`, which empties and removes it, runs at exit.
inline std::string make_fuzz_dir(void (*remove)())
{
    gchar *root = g_dir_make_tmp("zevrin-fuzz-XXXXXX", nullptr);
    if (root == nullptr)
        abort();
    std::string dir = root;
    g_free(root);
    atexit(remove);
    return dir;
}
