#include <gtk/gtk.h>

#include "window/window.h"

// Not built yet.
int main(int argc, char **argv)
{
    gtk_init(&argc, &argv);
    return 0;
}
