// The reference for the start-up and memory benchmarks: a GTK program that loads the same two
// interface files as the configurator, with the same theme, shows the main window and does
// nothing else. Usage: minimal_gtk DATA_DIR
#include <gtk/gtk.h>
#include <initializer_list>

int main(int argc, char **argv)
{
    if (argc < 2) {
        g_printerr("usage: %s DATA_DIR\n", argv[0]);
        return 2;
    }
    // The configurator asks for this theme too, before the toolkit starts.
    g_setenv("GTK_THEME", "Materia-light", TRUE);
    gtk_init(&argc, &argv);
    GtkBuilder *builder = gtk_builder_new();
    for (const char *name : {"interface/main.glade", "interface/about.glade"}) {
        gchar *path = g_build_filename(argv[1], name, nullptr);
        gtk_builder_add_from_file(builder, path, nullptr);
        g_free(path);
    }
    GObject *window = gtk_builder_get_object(builder, "window_main");
    if (!GTK_IS_WINDOW(window)) {
        g_printerr("no window_main in the interface files\n");
        return 1;
    }
    g_signal_connect(window, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    gtk_widget_show(GTK_WIDGET(window));
    gtk_main();
    return 0;
}
