// The device event hub. The HID module calls the hid_*_cb functions on its own threads (the
// watcher, a reader, or the GUI thread while a registration is being made); each notice is
// posted to the GUI thread through the GLib main loop and acted on there. Idle sources of one
// priority run in the order they were added, so the notices are handled in order of arrival,
// and the connection state, the protocol state and the record are only ever touched on the
// GUI thread.
#include "app/hub.h"

#include <map>
#include <set>
#include <string>
#include <vector>

#include <glib/gi18n.h>

#include "device/config.h"
#include "device/protocol.h"
#include "hid/mhid.h"
#include "hid/mhid_linux.h"
#include "window/window.h"

bool device_is_demo = false;
int device_zevrin = -1;
int device_zevrin_mini = -1;

std::string permission_message(const char *node)
{
    gchar *message = g_strdup_printf(
        // TRANSLATORS: %s is the device file, for example /dev/hidraw3. 70-zevrin.rules is a
        // file name and /etc/udev/rules.d a folder: keep both as they are.
        _("A Zevrin device was found at %s, but you have no permission to use it.\n\n"
          "To allow it, install the program, or copy its udev rule 70-zevrin.rules into "
          "/etc/udev/rules.d. Then run \"sudo udevadm trigger\": the device becomes usable "
          "without unplugging it."),
        node);
    std::string text = message;
    g_free(message);
    return text;
}

namespace {

// Registrations whose device the module last reported present: the one in use and those
// refused beside it. When the one in use leaves, the first other one is taken up.
std::set<int> present_devices;

// Device nodes whose permission problem the user has been told about, each with whether a scan
// has refused it again since the last device change. Every device change is followed by a
// rescan; a node that the rescan did not refuse is gone or has been opened, and is forgotten
// at the next change, so only a node refused anew after that brings the message back. Rescans
// that keep refusing a node do not repeat it.
std::map<std::string, bool> denied_nodes_shown;

// Makes `device` the connected device and starts reading it, as when it has just been plugged
// in. False for a registration that is no model of ours.
bool take_device(int device)
{
    if (device == device_zevrin) {
        connected_device_model = 0;
    } else if (device == device_zevrin_mini) {
        connected_device_model = 1;
    } else {
        return false;
    }
    connected_device_id_out = device;
    connected_device_id_in = device;
    device_connected = 1;
    config_valid = 0;  // nothing of an earlier box stands for this one
    // In this order, so that reading_config is set when the window is refreshed.
    g_idle_add(read_config_cb, nullptr);
    g_idle_add(update_main_window_cb, nullptr);
    return true;
}

// The device in use has left: a device refused meanwhile and still plugged in is the one to
// configure now, read as if it had just been plugged in. The Zevrin first, as at start-up.
bool take_another_device()
{
    for (int other : present_devices) {
        if (take_device(other))
            return true;
    }
    return false;
}

gboolean connected_notice_cb(gpointer user_data)
{
    const int device = GPOINTER_TO_INT(user_data);
    present_devices.insert(device);
    // Test and state change are one step here, on the GUI thread, in notice order.
    if (device_connected && device == connected_device_id_out) {
        // The device in use, reported once more: after a scan whose listing failed the module
        // knows nothing for a moment and then reports it connected again, with no disconnect
        // in between. It is the same device, so there is nothing to read and nothing to refuse.
        g_idle_add(update_main_window_cb, nullptr);
        return FALSE;
    }
    if (device_connected) {
        g_idle_add(multiple_devices_cb, nullptr);
        return FALSE;
    }
    if (!take_device(device))
        g_idle_add(update_main_window_cb, nullptr);
    return FALSE;
}

gboolean disconnected_notice_cb(gpointer user_data)
{
    const int device = GPOINTER_TO_INT(user_data);
    present_devices.erase(device);
    if (device == connected_device_id_in || device == connected_device_id_out) {
        const bool was_connected = device_connected != 0;
        // The model and the input id keep their values: the window still names the model.
        connected_device_id_out = -1;
        device_connected = 0;
        config_valid = 0;
        if (was_connected && take_another_device())
            return FALSE;  // the window is refreshed with the new read under way
    }
    g_idle_add(update_main_window_cb, nullptr);
    return FALSE;
}

gboolean access_denied_notice_cb(gpointer user_data)
{
    const char *node = static_cast<const char *>(user_data);
    auto [entry, is_new] = denied_nodes_shown.insert({node, true});
    if (!is_new) {
        entry->second = true;
        return FALSE;
    }
    dialog_info("Zevrin", permission_message(node).c_str(), GTK_WINDOW(window_main), "trouble-permission");
    return FALSE;
}

gboolean device_change_notice_cb(gpointer)
{
    for (auto it = denied_nodes_shown.begin(); it != denied_nodes_shown.end();) {
        if (!it->second) {
            it = denied_nodes_shown.erase(it);
        } else {
            it->second = false;
            ++it;
        }
    }
    return FALSE;
}

// Linux only: a device of ours is present but its node cannot be opened. Runs on the thread of
// the scan.
void hid_access_denied_cb(void *, const char *node)
{
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, access_denied_notice_cb, g_strdup(node), g_free);
}

// Every device arrival or removal, before the module rescans; runs on the watcher thread.
void hid_device_change_cb(void *)
{
    g_idle_add(device_change_notice_cb, nullptr);
}

// Linux only: a second device of one model beside the one its registration is bound to, which
// no connected notice can show. It brings the same message as a device of the other model, and
// the module never opens it. Runs on the thread of the scan, after that scan's notices.
void hid_another_device_cb(void *, int)
{
    g_idle_add(multiple_devices_cb, nullptr);
}

}  // namespace

void hid_connected_cb(void *, int device)
{
    g_idle_add(connected_notice_cb, GINT_TO_POINTER(device));
}

void hid_disconnected_cb(void *, int device)
{
    g_idle_add(disconnected_notice_cb, GINT_TO_POINTER(device));
}

void msingle_instance_cb()
{
    show_main_window();
}

void register_devices()
{
    mhid_set_access_denied_callback(hid_access_denied_cb, nullptr);
    // Device changes matter to the hub only for the permission message: the module rescans on
    // its own and reports the result through the callbacks below, but the hub must forget the
    // nodes it has told the user about once they are gone, or a device plugged in again
    // without the rule would never bring the message back.
    mhid_set_device_change_callback(hid_device_change_cb, nullptr);
    mhid_set_another_device_callback(hid_another_device_cb, nullptr);
    present_devices.clear();
    register_models(hid_connected_cb, hid_disconnected_cb);
}

void register_models(mhid_connected_callback connected_cb, mhid_disconnected_callback disconnected_cb)
{
    // The Zevrin first: with both models plugged in at start-up, the Zevrin is the one taken.
    // Each id is stored before mhid_set_callbacks, whose scan may already report it.
    device_zevrin = mhid_add_device(vendor_id, product_id_zevrin, usage_page_vendor,
                                    report_length, report_length);
    mhid_set_callbacks(device_zevrin, connected_cb, nullptr, disconnected_cb, nullptr,
                       hid_report_cb, nullptr);
    device_zevrin_mini = mhid_add_device(vendor_id, product_id_zevrin_mini, usage_page_vendor,
                                         report_length, report_length);
    mhid_set_callbacks(device_zevrin_mini, connected_cb, nullptr, disconnected_cb, nullptr,
                       hid_report_cb, nullptr);
}

gboolean read_config_cb(gpointer)
{
    read_config();
    return FALSE;
}

gboolean update_main_window_cb(gpointer)
{
    update_main_window();
    return FALSE;
}

gboolean multiple_devices_cb(gpointer)
{
    dialog_info("Zevrin",
                _("There seems to be more than one Zevrin device connected. Please disconnect all "
                  "devices except the one you want to configure."),
                GTK_WINDOW(window_main), "trouble-two-boxes");
    return FALSE;
}

void dialog_info(const char *title, const char *message, GtkWindow *parent, const char *help_page)
{
    GtkWidget *dialog = gtk_message_dialog_new(parent, GTK_DIALOG_DESTROY_WITH_PARENT,
                                               GTK_MESSAGE_INFO, GTK_BUTTONS_NONE, "%s", message);
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    if (help_page != nullptr)
        gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Help"), GTK_RESPONSE_HELP);
    gtk_dialog_add_button(GTK_DIALOG(dialog), _("_Close"), GTK_RESPONSE_CLOSE);
    gtk_dialog_set_default_response(GTK_DIALOG(dialog), GTK_RESPONSE_CLOSE);
    GtkWidget *focus = hold_focus(parent);
    // A nested main loop: device notices and a running read go on while the dialog is open.
    // Help opens the manual's page on the problem and leaves the message open beside it.
    while (gtk_dialog_run(GTK_DIALOG(dialog)) == GTK_RESPONSE_HELP)
        show_user_manual(help_page);
    gtk_widget_destroy(dialog);
    give_back_focus(focus);
}
