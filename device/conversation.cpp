// The conversation with a box. The HID module calls the hid_*_cb functions on its own threads
// (the watcher, or the caller while a registration is being made); each notice is posted to
// the main-loop thread and acted on there. Idle sources of one priority run in the order they
// were added, so the notices are handled in order of arrival, and the connection state, the
// protocol state and the record are only ever touched on that thread.
#include "device/conversation.h"

#include <algorithm>
#include <map>
#include <set>
#include <vector>

#include <glib.h>
#include <glib/gstdio.h>

#include "device/config.h"
#include "device/config_file.h"
#include "device/protocol.h"
#include "hid/mhid.h"
#include "hid/mhid_linux.h"

int device_zevrin = -1;
int device_zevrin_mini = -1;

namespace {

// Registrations whose device the module last reported present: the one in use and those
// refused beside it. When the one in use leaves, the first other one is taken up.
std::set<int> present_devices;

// Device nodes whose permission problem has been reported, each with whether a scan has
// refused it again since the last device change. Every device change is followed by a rescan;
// a node that the rescan did not refuse is gone or has been opened, and is forgotten at the
// next change, so only a node refused anew after that is reported again.
std::map<std::string, bool> denied_nodes_told;

template <typename... Args, typename... Given>
void tell(void (*protocol_listener::*entry)(Args...), Given... given)
{
    const protocol_listener *l = protocol_listener_in_use();
    if (l != nullptr && l->*entry != nullptr)
        (l->*entry)(given...);
}

int model_of_registration(int device)
{
    if (device == device_zevrin)
        return 0;
    if (device == device_zevrin_mini)
        return 1;
    return -1;
}

// Makes `device` the connected device and starts reading it, as when it has just been plugged
// in. False for a registration that is no model of ours.
}  // namespace

unsigned boxes_taken = 0;

namespace {

bool take_device(int device)
{
    const int model = model_of_registration(device);
    if (model < 0)
        return false;
    connected_device_model = model;
    connected_device_id_out = device;
    connected_device_id_in = device;
    device_connected = 1;
    boxes_taken++;
    config_valid = 0;  // nothing of an earlier box stands for this one
    // The read has begun when the listener hears of the box.
    read_config();
    tell(&protocol_listener::box_changed);
    return true;
}

// The device in use has left: a device refused meanwhile and still plugged in is the one to
// use now, read as if it had just been plugged in. The Zevrin first, as at start-up.
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
    // Test and state change are one step here, on the main-loop thread, in notice order.
    if (device_connected && device == connected_device_id_out) {
        // The device in use, reported once more: after a scan whose listing failed the module
        // knows nothing for a moment and then reports it connected again, with no disconnect
        // in between. It is the same device, so there is nothing to read and nothing to refuse.
        tell(&protocol_listener::box_changed);
        return FALSE;
    }
    if (device_connected) {
        tell(&protocol_listener::another_box);
        return FALSE;
    }
    if (!take_device(device))
        tell(&protocol_listener::box_changed);
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
        end_transfer_of_departed_box();
        if (was_connected && take_another_device())
            return FALSE;
    }
    tell(&protocol_listener::box_changed);
    return FALSE;
}

gboolean access_denied_notice_cb(gpointer user_data)
{
    const char *node = static_cast<const char *>(user_data);
    auto [entry, is_new] = denied_nodes_told.insert({node, true});
    if (!is_new) {
        entry->second = true;
        return FALSE;
    }
    tell(&protocol_listener::access_denied, node);
    return FALSE;
}

gboolean device_change_notice_cb(gpointer)
{
    for (auto it = denied_nodes_told.begin(); it != denied_nodes_told.end();) {
        if (!it->second) {
            it = denied_nodes_told.erase(it);
        } else {
            it->second = false;
            ++it;
        }
    }
    return FALSE;
}

gboolean another_device_notice_cb(gpointer)
{
    tell(&protocol_listener::another_box);
    return FALSE;
}

// A device of ours is present but its node cannot be opened. Runs on the thread of the scan.
void hid_access_denied_cb(void *, const char *node)
{
    g_idle_add_full(G_PRIORITY_DEFAULT_IDLE, access_denied_notice_cb, g_strdup(node), g_free);
}

// Every device arrival or removal, before the module rescans; runs on the watcher thread. It
// matters here only for the permission reports: the module rescans on its own, but the nodes
// reported must be forgotten once they are gone, or a device plugged in again without the rule
// would never be reported again.
void hid_device_change_cb(void *)
{
    g_idle_add(device_change_notice_cb, nullptr);
}

// A second device of one model beside the one its registration is bound to, which no connected
// notice can show; the module never opens it. Runs on the thread of the scan, after that scan's
// notices.
void hid_another_device_cb(void *, int)
{
    g_idle_add(another_device_notice_cb, nullptr);
}

// ---- What boxes held before they were written ----

constexpr int kept_per_model = 10;
constexpr const char *unfinished_writes_file = "unfinished-writes";

std::string take_path(gchar *path)
{
    std::string s = path != nullptr ? path : "";
    g_free(path);
    return s;
}

std::string state_file(const char *name)
{
    return take_path(g_build_filename(previous_configurations_dir().c_str(), name, nullptr));
}

// The kept files of `model`, oldest first: their names begin with the model's id and the time.
std::vector<std::string> kept_files(int model)
{
    std::vector<std::string> names;
    GDir *dir = g_dir_open(previous_configurations_dir().c_str(), 0, nullptr);
    if (dir == nullptr)
        return names;
    const std::string prefix = std::string(model_id[model]) + "-";
    while (const gchar *name = g_dir_read_name(dir)) {
        if (g_str_has_prefix(name, prefix.c_str()) && g_str_has_suffix(name, ".zevrin"))
            names.push_back(name);
    }
    g_dir_close(dir);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

namespace {

// The two registrations, without callbacks: nothing is scanned for them, nothing bound.
void add_registrations()
{
    device_zevrin = mhid_add_device(model_vendor_id, model_product_id[0], model_usage_page, report_length,
                                    report_length);
    device_zevrin_mini = mhid_add_device(model_vendor_id, model_product_id[1], model_usage_page, report_length,
                                         report_length);
}

}  // namespace

bool list_present_boxes(std::vector<present_box> *out)
{
    out->clear();
    mhid_init();
    add_registrations();
    std::vector<mhid_present_node> present;
    const bool listed = mhid_list_present(&present);
    mhid_terminate();
    for (const mhid_present_node &p : present) {
        const int model = model_of_registration(p.device);
        if (model >= 0)
            out->push_back({p.node, model, p.state});
    }
    device_zevrin = device_zevrin_mini = -1;
    return listed;
}

void conversation_begin(const char *only_node)
{
    mhid_set_access_denied_callback(hid_access_denied_cb, nullptr);
    mhid_set_device_change_callback(hid_device_change_cb, nullptr);
    mhid_set_another_device_callback(hid_another_device_cb, nullptr);
    mhid_bind_only_node(only_node);
    present_devices.clear();
    denied_nodes_told.clear();
    // The Zevrin first: with both models plugged in at start-up, the Zevrin is the one taken.
    // Each id is stored before mhid_set_callbacks, whose scan may already report it.
    device_zevrin = mhid_add_device(model_vendor_id, model_product_id[0], model_usage_page, report_length,
                                    report_length);
    mhid_set_callbacks(device_zevrin, hid_connected_cb, nullptr, hid_disconnected_cb, nullptr, hid_report_cb,
                       nullptr);
    device_zevrin_mini = mhid_add_device(model_vendor_id, model_product_id[1], model_usage_page, report_length,
                                         report_length);
    mhid_set_callbacks(device_zevrin_mini, hid_connected_cb, nullptr, hid_disconnected_cb, nullptr, hid_report_cb,
                       nullptr);
}

void conversation_end()
{
    mhid_terminate();
}

void hid_connected_cb(void *, int device)
{
    g_idle_add(connected_notice_cb, GINT_TO_POINTER(device));
}

void hid_disconnected_cb(void *, int device)
{
    g_idle_add(disconnected_notice_cb, GINT_TO_POINTER(device));
}

std::string previous_configurations_dir()
{
    return take_path(g_build_filename(g_get_user_state_dir(), "zevrin", nullptr));
}

std::string keep_box_configuration()
{
    const int model = connected_device_model;
    const std::string dir = previous_configurations_dir();
    if (g_mkdir_with_parents(dir.c_str(), 0700) != 0)
        return "";
    GDateTime *now = g_date_time_new_now_local();
    const std::string stamp = take_path(g_date_time_format(now, "%Y%m%d-%H%M%S"));
    g_date_time_unref(now);
    // Two writes within a second keep one file each.
    std::string path;
    for (int n = 1; path.empty() || g_file_test(path.c_str(), G_FILE_TEST_EXISTS); n++) {
        const std::string name = std::string(model_id[model]) + "-" + stamp +
                                 (n > 1 ? "-" + std::to_string(n) : "") + ".zevrin";
        path = state_file(name.c_str());
    }
    std::string error;
    if (!save_config_file_contents(path.c_str(), {model, box_configuration}, error))
        return "";
    std::vector<std::string> kept = kept_files(model);
    for (size_t i = 0; i + kept_per_model < kept.size(); i++)
        g_unlink(state_file(kept[i].c_str()).c_str());
    return path;
}

namespace {

// The notes of unfinished writes: one group per model, with the file of what its box held.
GKeyFile *load_unfinished_writes()
{
    GKeyFile *notes = g_key_file_new();
    g_key_file_load_from_file(notes, state_file(unfinished_writes_file).c_str(), G_KEY_FILE_NONE, nullptr);
    return notes;
}

void save_unfinished_writes(GKeyFile *notes)
{
    gsize length = 0;
    gchar *text = g_key_file_to_data(notes, &length, nullptr);
    const std::string path = state_file(unfinished_writes_file);
    if (length == 0)
        g_unlink(path.c_str());
    else if (g_mkdir_with_parents(previous_configurations_dir().c_str(), 0700) == 0)
        g_file_set_contents(path.c_str(), text, static_cast<gssize>(length), nullptr);
    g_free(text);
    g_key_file_free(notes);
}

}  // namespace

void note_unfinished_write(const std::string &previous_file)
{
    GKeyFile *notes = load_unfinished_writes();
    g_key_file_set_string(notes, model_id[connected_device_model], "Previous", previous_file.c_str());
    save_unfinished_writes(notes);
}

void forget_unfinished_write()
{
    GKeyFile *notes = load_unfinished_writes();
    g_key_file_remove_group(notes, model_id[connected_device_model], nullptr);
    save_unfinished_writes(notes);
}

std::string unfinished_write_previous_file()
{
    GKeyFile *notes = load_unfinished_writes();
    std::string file = take_path(g_key_file_get_string(notes, model_id[connected_device_model], "Previous", nullptr));
    g_key_file_free(notes);
    // A note whose file has gone offers nothing to write back.
    return !file.empty() && g_file_test(file.c_str(), G_FILE_TEST_IS_REGULAR) ? file : "";
}
