// The boxes plugged in, as the command line sees them.
#include "cli/boxes.h"

#include <vector>

#include <glib.h>
#include <glib/gi18n.h>

#include "app/hub.h"
#include "cli/command_line.h"
#include "cli/output.h"
#include "device/config.h"
#include "device/conversation.h"
#include "device/describe.h"

namespace {

// The state as --list prints it: fixed words, never translated.
const char *state_word(mhid_node_state state)
{
    switch (state) {
    case mhid_node_ready:
        return "ready";
    case mhid_node_no_permission:
        return "no-permission";
    case mhid_node_held_by_window:
    case mhid_node_held_by_other:
        break;
    }
    return "busy";
}

bool list(std::vector<present_box> &boxes)
{
    if (list_present_boxes(&boxes))
        return true;
    say(_("The list of devices could not be read."));
    return false;
}

}  // namespace

int list_command()
{
    std::vector<present_box> boxes;
    if (!list(boxes))
        return status_failure;
    for (const present_box &b : boxes)
        g_print("%s\t%s\t%s\n", b.node.c_str(), model_name[static_cast<size_t>(b.model)], state_word(b.state));
    if (boxes.empty()) {
        say(_("No Zevrin device is connected."));
        return status_no_box;
    }
    return status_success;
}

int refusal(const box &b)
{
    switch (b.state) {
    case mhid_node_no_permission:
        say(permission_message(b.node.c_str()));
        return status_no_permission;
    case mhid_node_held_by_window:
        say(printf_string(_("The device at %s is in use by the Zevrin configurator window. Close the "
                            "window, or wait until it lets go of the device, and try again."),
                          b.node.c_str()));
        return status_box_busy;
    case mhid_node_held_by_other:
        // TRANSLATORS: %s is a device file, for example /dev/hidraw3.
        say(printf_string(_("The device at %s is in use by another zevrin command. Wait until it has "
                            "ended, and try again."),
                          b.node.c_str()));
        return status_box_busy;
    case mhid_node_ready:
        break;
    }
    return status_success;
}

int choose_box(const std::string &node, box &chosen)
{
    std::vector<present_box> boxes;
    if (!list(boxes))
        return status_failure;
    if (!node.empty()) {
        for (const present_box &b : boxes) {
            if (b.node == node) {
                chosen = b;
                return refusal(chosen);
            }
        }
        // TRANSLATORS: %s is a device file, for example /dev/hidraw3.
        say(printf_string(_("There is no Zevrin device at %s."), node.c_str()));
        return status_no_box;
    }
    if (boxes.empty()) {
        say(_("No Zevrin device is connected."));
        return status_no_box;
    }
    if (boxes.size() > 1) {
        say(_("More than one Zevrin device is connected. Choose one with --device NODE; "
              "\"zevrin --list\" shows them."));
        return status_several_boxes;
    }
    const present_box &only = boxes.front();
    chosen = only;
    return refusal(chosen);
}

std::string no_answer_message()
{
    return _("The device did not answer, or did not send its whole configuration. Check the "
             "connection and try again.");
}

int status_of_box_not_taken(const box &chosen, std::string &message)
{
    conversation_end();
    box b = chosen;
    b.state = mhid_node_ready;
    std::vector<present_box> boxes;
    if (list_present_boxes(&boxes))
        for (const present_box &p : boxes)
            if (p.node == b.node)
                b.state = p.state;
    const int status = refusal(b);
    message = status != status_success ? "" : no_answer_message();
    return status != status_success ? status : status_no_answer;
}
