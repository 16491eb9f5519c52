// The main and about windows: construction, state display, switch action editor, commands.
// Widget references are borrowed (the windows own their widgets for the whole run) and are
// null when an id was missing from the interface files; every use must tolerate that.
#pragma once

#include <array>
#include <string>
#include <gtk/gtk.h>

#include "device/config.h"
#include "device/config_file.h"
#include "device/protocol.h"
#include "app/settings.h"

using switch_widgets = std::array<GtkWidget *, max_switches>;
using model_widgets = std::array<GtkWidget *, n_models>;

extern GtkWidget *window_main;
extern GtkWidget *checkmenuitem_dev_options;
extern std::array<GtkWidget *, n_languages> radiomenuitem_lang;
extern GtkWidget *label_message;
extern GtkWidget *box_models;
extern model_widgets box_model;
extern model_widgets image_model;
extern GtkWidget *box_config;
extern switch_widgets image_symbol;
extern switch_widgets radiobutton_mouse;
extern switch_widgets radiobutton_keyb;
extern switch_widgets radiobutton_joy;
extern switch_widgets radiobutton_gen;
extern switch_widgets box_sw;
extern switch_widgets separator_sw;
extern switch_widgets box_mouse;
extern switch_widgets box_keyb;
extern switch_widgets box_joy;
extern switch_widgets box_gen;
extern switch_widgets combobox_mouse;
extern switch_widgets combobox_keyb;
extern switch_widgets button_keyb;
extern switch_widgets combobox_joy;
extern switch_widgets combobox_gen;
extern switch_widgets checkbutton_auto_release;
extern switch_widgets checkbutton_control;
extern switch_widgets checkbutton_shift;
extern switch_widgets checkbutton_alt;
extern GtkWidget *combobox_mouse_speed;
extern GtkWidget *combobox_joy_displacement;
extern GtkWidget *image_connected_model;
extern GtkWidget *label_connected_model;
extern GtkWidget *box_toolbar;
extern GtkWidget *button_defaults;
extern GtkWidget *button_read;
extern GtkWidget *button_send;
extern GtkWidget *progressbar;
extern GtkWidget *window_about;
extern GtkWidget *label_version;
extern GtkWidget *image_zevrin;
extern GtkWidget *image_morvak;

// Construction (build.cpp). Makes the window the protocol's listener.
void load_main_window();
// How the window takes the protocol's reports (commands.cpp).
extern const protocol_listener window_protocol_listener;
// The one list store that the eight key lists share (held for the whole run); a row whose key
// is not in the list shows a store of its own for as long as it does.
extern GtkTreeModel *key_list_store;

// State display (display.cpp).
void update_main_window();
void set_model_images();
void show_main_window();
// The rows and the setting lists are set from the record only when it has been replaced (or an
// entry of it changed); until then they keep what the user chose. Whether row s, or a setting
// list, still reads back as it did when it was last set from the record, untouched by the user.
bool row_untouched(int s);
bool mouse_speed_untouched();
bool joy_displacement_untouched();
// The title, with its mark of unwritten changes; after each change in the rows or lists.
void update_changed_mark();
// The control that has the focus in `window` (held; null for none), before a message or a
// question is run over it; given back (and let go) when it closes, if it can still take it.
// The refresh does the same for a control that it hides while a transfer runs.
GtkWidget *hold_focus(GtkWindow *window);
void give_back_focus(GtkWidget *held);

// Window size (layout.cpp). Sizes the main window for its largest content within the screen's
// work area: before it is first shown, or later growing it only.
void fit_main_window();
// Makes the scrolled window of the rows scroll the focused control into view.
void follow_focus_in_rows(GtkWidget *scrolled_window);

// Keyboard (keyboard.cpp): arrow keys on a closed list open it rather than change its choice.
gboolean window_main_key_press_event_cb(GtkWidget *window, GdkEventKey *event, gpointer user_data);

// Switch action editor (editor.cpp).
enum { page_mouse = 0, page_keyboard = 1, page_joystick = 2, page_generic = 3 };
void radiobutton_page_toggled_cb(GtkToggleButton *toggle_button, gpointer user_data);
void combobox_action_changed_cb(GtkComboBox *combo_box, gpointer user_data);
void button_keyb_clicked_cb(GtkButton *button, gpointer user_data);
int get_page(int s);
action_record read_switch_row(int s);
// Shows row s's box of `page` and hides its other three, in mouse, keyboard, joystick, generic
// order.
void show_page_box(int s, int page);
// The key list's entry that shows usage `code`, or -1 when the list has no such key.
int key_list_entry(int code);
// Sets row s's auto-release to `on`; a greyed-out box shows unticked and the row keeps `on`.
void show_auto_release(int s, bool on);
// Handler of every other widget of the rows and of the two setting lists that the user can
// change: updates the mark of unwritten changes.
void configuration_edited_cb(GtkWidget *widget, gpointer user_data);

// Type-ahead in an open key list (key_list.cpp): connected to each key list's
// "notify::popup-shown", it hands the list's menu its key handler.
void combobox_keyb_popup_shown_cb(GObject *combo, GParamSpec *pspec, gpointer user_data);
gboolean menu_keyb_event_cb(GtkWidget *menu, GdkEvent *event, gpointer user_data);

// Commands and menus (commands.cpp), connected by name from the interface file.
void button_defaults_clicked_cb(GtkButton *button, gpointer user_data);
void button_read_clicked_cb(GtkButton *button, gpointer user_data);
void button_send_clicked_cb(GtkButton *button, gpointer user_data);
void menuitem_about_activate_cb(GtkMenuItem *item, gpointer user_data);
void menuitem_quit_activate_cb(GtkMenuItem *item, gpointer user_data);
void menuitem_set_defaults_activate_cb(GtkMenuItem *item, gpointer user_data);
void menuitem_user_manual_activate_cb(GtkMenuItem *item, gpointer user_data);
// The user manual at `page`, a page id of the manual (help/C/PAGE.page), or at its start page
// when `page` is null: in a help viewer when the manual is installed where viewers look, else the
// web manual in a browser, else a message that gives the web address.
void show_user_manual(const char *page);
gboolean window_main_delete_event_cb(GtkWidget *widget, GdkEvent *event, gpointer user_data);
// What Write would send now: the record, with each row and setting list that the user changed
// read from the window. Nothing is sent or stored.
configuration pending_configuration();
// Whether the window holds changes that the connected box does not.
bool config_changed();
// A box connected and idle, its configuration completely read: what Write and the file commands
// need.
bool device_ready();
// Quit, Ctrl+Q, closing the window and a restart: asks first when there are unwritten changes
// (Write, Discard or Cancel), then ends the main loop; `restart` has the program started again
// once it has ended (restart_requested).
void request_quit(bool restart);
// Ends the main loop, for a restart (restart_requested) or not.
void quit_program(bool restart);
extern bool restart_requested;
// Set by the Write answer of request_quit: the successful end of that write ends the program,
// for a restart when restart_after_write.
extern bool quit_after_write;
extern bool restart_after_write;

// Testing the switches (switch_test_mode.cpp): a mode in which each row lights up while its
// switch is held, with what the computer received; editing, reading and writing are off
// meanwhile. The toggle beside Read and Write, a File menu item (Ctrl+T) and Escape work it.
// Made by setup (the mode's widgets, from load_main_window); update_switch_test_mode is called
// by every refresh, and applies the mode to the window.
void setup_switch_test_mode(GtkBuilder *builder);
void update_switch_test_mode();
// Enters the mode when the box is ready for it (its configuration completely read); leaves it,
// giving everything back as it was. The box leaving ends it too.
void enter_switch_test();
void leave_switch_test();
bool switch_test_running();

// Asks before unwritten changes are replaced (`question` says by what): Discard or Cancel.
// True for Discard, and at once when the window holds no unwritten changes.
bool may_replace_changes(const char *question);
// Write without a box: why it is not offered.
const char *write_needs_box_text();

// What the rows hold, apart from any box: a configuration of `document_model`, shown since a
// complete read of a box, a file opened or New configuration (`document_open`). Without a box
// the rows show it only when it came from a file or the defaults (`document_without_box`),
// named `document_name` (the file's name as shown, "" for the defaults or a box's rows);
// `document_baseline` is what it held when opened or saved, against which its changes count.
extern int document_model;
extern bool document_open;
extern bool document_without_box;
extern std::string document_name;
extern configuration document_baseline;
// Forgets the document and any rows kept for a box being read, as at start-up.
void forget_window_document();
// The model that the rows are shown for: the connected box's, else the document's.
int rows_model();
// Whether the rows are shown: a box's configuration, completely read, or a document without a
// box.
bool rows_shown();

// Configuration files (files.cpp): the File menu's commands. Open needs either no box or an
// idle one whose configuration has been read; Save and Print need the rows shown.
void menuitem_open_activate_cb(GtkMenuItem *item, gpointer user_data);
// File › New configuration: the defaults of the Zevrin or of the Zevrin Mini.
void menuitem_new_zevrin_activate_cb(GtkMenuItem *item, gpointer user_data);
void menuitem_new_zevrin_mini_activate_cb(GtkMenuItem *item, gpointer user_data);
// The note that a configuration for `file_model`, named `name`, fills the rows of the connected
// box only where both models have switches; "" for the same number of switches.
std::string other_model_note(const std::string &name, int file_model);
void menuitem_save_as_activate_cb(GtkMenuItem *item, gpointer user_data);
void menuitem_print_activate_cb(GtkMenuItem *item, gpointer user_data);
// Opens the configuration file at `path` into the rows, as File › Open configuration… does:
// at once when the window is ready for it, else as soon as it is (a later file replaces one
// that still waits).
void open_configuration_file(const char *path);
// Called by every refresh: opens a waiting file, from the main loop, once the window is ready.
void open_waiting_configuration_file();
// What the window holds (what Write would send), as a file holds it.
config_file_contents window_contents();
// Saves `contents` at `path`; a failure is shown in a message. Returns whether it was saved.
bool save_configuration_file(const char *path, const config_file_contents &contents);
// Prints the page of `contents` through the print dialog, or without it into the PDF file
// `pdf_path` when that is not null; a failure is shown in a message. The sheet is named after
// the file last opened or saved in the window (the print dialog lets the user change it).
void print_configuration(const config_file_contents &contents, const char *pdf_path);
