#include "cli/output.h"

#include <unistd.h>

#include <glib.h>
#include <glib/gi18n.h>

namespace {

bool progress_shown = false;

}  // namespace

void say(const std::string &message)
{
    end_progress();
    g_printerr("%s\n", message.c_str());
}

int usage_error(const std::string &problem)
{
    say(problem);
    // TRANSLATORS: keep 'zevrin --help' as it is: it is the command to type.
    say(_("Try 'zevrin --help'"));
    return 1;
}

// On a terminal only, on one line that each step overwrites: a script's standard error gets
// the messages alone.
void show_progress(bool writing, double fraction)
{
    if (!isatty(STDERR_FILENO))
        return;
    const int percent = static_cast<int>(fraction * 100.0 + 0.5);
    // Back to the start of the line, and what a longer word before left there cleared.
    g_printerr("\r%s %3d%%\033[K", writing ? _("Writing…") : _("Reading…"), percent);
    progress_shown = true;
}

void end_progress()
{
    if (progress_shown)
        g_printerr("\n");
    progress_shown = false;
}
