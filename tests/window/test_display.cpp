// The state display on the real main window: the four display states, the rows of each model,
// every action kind and code shown on its page, the odd records, the setting lists, and which
// signals a refresh emits, and the rows on one line or two as the window's width allows.
#include "tests/window/window_test.h"

#include "app/paths.h"
#include "app/settings.h"
#include "device/config.h"
#include "device/keys.h"
#include "device/protocol.h"
#include "window/widget_ops.h"
#include "window/window.h"

namespace {

std::string title()
{
    const char *t = GTK_IS_WINDOW(window_main) ? gtk_window_get_title(GTK_WINDOW(window_main)) : nullptr;
    return t ? t : "";
}

std::string message()
{
    return GTK_IS_LABEL(label_message) ? gtk_label_get_text(GTK_LABEL(label_message)) : "";
}

double fraction()
{
    return GTK_IS_PROGRESS_BAR(progressbar) ? gtk_progress_bar_get_fraction(GTK_PROGRESS_BAR(progressbar)) : -1.0;
}

int progress_width()
{
    int width = 0;
    gtk_widget_get_size_request(progressbar, &width, nullptr);
    return width;
}

// The one page box shown in row s, or -1 when none or several are.
int page_shown(int s)
{
    const bool b[4] = {shown(box_mouse[s]), shown(box_keyb[s]), shown(box_joy[s]), shown(box_gen[s])};
    int page = -1;
    for (int p = 0; p < 4; p++) {
        if (b[p]) {
            if (page >= 0)
                return -1;
            page = p;
        }
    }
    return page;
}

// The page of the row's active radio button, -1 when not exactly one is active.
int radio_page(int s)
{
    const bool b[4] = {active(radiobutton_mouse[s]), active(radiobutton_keyb[s]), active(radiobutton_joy[s]),
                       active(radiobutton_gen[s])};
    int page = -1;
    for (int p = 0; p < 4; p++) {
        if (b[p]) {
            if (page >= 0)
                return -1;
            page = p;
        }
    }
    return page;
}

// A key of the list other than the first one.
int some_later_key_index()
{
    for (int j = n_keybd_hid_codes / 2; j < n_keybd_hid_codes; j++)
        if (keybd_hid_codes[j] != keybd_hid_codes[0])
            return j;
    return -1;
}

using DisplayStates = WindowTest;

// The window opens at the size of its largest content (on this screen all of it fits) and
// keeps it while a configuration is read, shown and written.
TEST_F(WindowTest, WindowSizeStaysThroughReadRowsAndWriteWithEveryRowInView)
{
    EXPECT_TRUE(gtk_window_get_resizable(GTK_WINDOW(window_main)));
    for (action_record &a : switch_action)
        a = {kind_keyboard_key, 0x04, 7, 1};  // the widest page in every row
    int width = 0, height = 0, w = 0, h = 0;
    gtk_window_get_size(GTK_WINDOW(window_main), &width, &height);
    for (auto [reading, writing] : {std::pair{1, 0}, {0, 0}, {0, 1}, {0, 0}}) {
        connect_idle(0);
        reading_config = reading;
        writing_config = writing;
        update_main_window();
        pump();
        gtk_window_get_size(GTK_WINDOW(window_main), &w, &h);
        EXPECT_EQ(std::pair(w, h), std::pair(width, height)) << reading << writing;
    }
    GtkScrolledWindow *rows = GTK_SCROLLED_WINDOW(gtk_widget_get_ancestor(box_sw[0], GTK_TYPE_SCROLLED_WINDOW));
    for (GtkAdjustment *a : {gtk_scrolled_window_get_vadjustment(rows), gtk_scrolled_window_get_hadjustment(rows)})
        EXPECT_LE(gtk_adjustment_get_upper(a) - gtk_adjustment_get_lower(a), gtk_adjustment_get_page_size(a));
}

// Where one line does not fit the window's width, a row goes onto two lines (its kind of
// action above the action and its auto-release); where it fits again, back onto one. The rows
// need no sideways scrolling either way.
TEST_F(WindowTest, ARowTooWideForTheWindowGoesOntoTwoLinesAndBack)
{
    for (action_record &a : switch_action)
        a = {kind_keyboard_key, 0x04, 7, 1};
    switch_action[1] = {kind_mouse_button, 0, 0, 1};
    connect_idle(0);
    update_main_window();
    GtkWindow *window = GTK_WINDOW(window_main);
    int width = 0, height = 0;
    gtk_window_get_size(window, &width, &height);
    GtkScrolledWindow *rows = GTK_SCROLLED_WINDOW(gtk_widget_get_ancestor(box_sw[0], GTK_TYPE_SCROLLED_WINDOW));
    GtkAdjustment *sideways = gtk_scrolled_window_get_hadjustment(rows);
    // A line of the row: where the control's middle is, down the row.
    auto middle = [](GtkWidget *w) {
        GtkAllocation a;
        gtk_widget_get_allocation(w, &a);
        int x = 0, y = 0;
        gtk_widget_translate_coordinates(w, gtk_widget_get_parent(box_sw[0]), 0, a.height / 2, &x, &y);
        return y;
    };
    // Resizes the window and waits for the rows to be on one line (or two): the window is
    // resized, the rows' area allocated, the rows turned and allocated again.
    auto lay_out = [&](int w, bool two_lines) {
        gtk_window_resize(window, w, height);
        const guint tick = g_timeout_add(20, [](gpointer) { return gboolean(G_SOURCE_CONTINUE); }, nullptr);
        pump_until([&] { return (middle(radiobutton_keyb[0]) < middle(combobox_keyb[0])) == two_lines; }, 3000);
        g_source_remove(tick);
        pump();
    };
    lay_out(width, false);
    EXPECT_EQ(middle(radiobutton_keyb[0]), middle(combobox_keyb[0])) << "one line where it fits";
    // Narrower than a keyboard row but wide enough for a mouse row.
    int keyboard_row = 0, mouse_row = 0;
    gtk_widget_get_preferred_width(box_sw[0], nullptr, &keyboard_row);
    gtk_widget_get_preferred_width(box_sw[1], nullptr, &mouse_row);
    ASSERT_GT(keyboard_row, mouse_row + 100);
    lay_out(width - (keyboard_row - mouse_row) + 40, true);
    EXPECT_LT(middle(radiobutton_keyb[0]), middle(combobox_keyb[0])) << "the action below the kinds";
    EXPECT_EQ(middle(combobox_keyb[0]), middle(checkbutton_auto_release[0]));
    EXPECT_EQ(middle(radiobutton_mouse[1]), middle(combobox_mouse[1])) << "a row that fits stays on one line";
    EXPECT_LE(gtk_adjustment_get_upper(sideways) - gtk_adjustment_get_lower(sideways),
              gtk_adjustment_get_page_size(sideways));
    lay_out(width, false);
    EXPECT_EQ(middle(radiobutton_keyb[0]), middle(combobox_keyb[0])) << "back on one line";
    EXPECT_LE(gtk_adjustment_get_upper(sideways) - gtk_adjustment_get_lower(sideways),
              gtk_adjustment_get_page_size(sideways));
}

// Drawn from their @2x files on a screen with two device pixels to the pixel (this test runs
// again under GDK_SCALE=2), and named for screen readers.
TEST(Pictures, SharpAtTheScreensScaleAndNamed)
{
    const bool sharp = gtk_widget_get_scale_factor(window_main) >= 2;
    for (GtkWidget *image : {image_symbol[0], image_symbol[7], image_model[0], image_model[1]})
        EXPECT_EQ(gtk_image_get_storage_type(GTK_IMAGE(image)), sharp ? GTK_IMAGE_SURFACE : GTK_IMAGE_PIXBUF);
    gchar *file = get_data_file("images/symbols/8.png");
    EXPECT_TRUE(image_shows_file(image_symbol[7], file));
    g_free(file);
    if (sharp) {
        cairo_surface_t *surface = nullptr;
        g_object_get(image_symbol[7], "surface", &surface, nullptr);
        EXPECT_EQ(cairo_image_surface_get_width(surface), 80);  // twice the 40 pixels of the row
        cairo_surface_destroy(surface);
    }
    EXPECT_STREQ(atk_object_get_name(gtk_widget_get_accessible(image_symbol[7])), "Switch 8");
    for (int m = 0; m < n_models; m++)
        EXPECT_STREQ(atk_object_get_name(gtk_widget_get_accessible(image_model[m])), model_name[m]);
}

TEST_F(DisplayStates, DisconnectedIgnoresBusyFlagsAndLastModel)
{
    connected_device_model = 1;  // kept from an earlier Mini
    reading_config = 1;
    writing_config = 1;
    reading_writing_config_fraction = 0.5;
    update_main_window();

    EXPECT_EQ(title(), "Zevrin (disconnected)");
    EXPECT_EQ(message(), "Please connect a Zevrin device to the computer");
    EXPECT_TRUE(shown(label_message));
    EXPECT_TRUE(shown(box_models));
    EXPECT_TRUE(shown(box_model[0]));
    EXPECT_TRUE(shown(box_model[1]));
    EXPECT_FALSE(shown(box_config));
    EXPECT_FALSE(shown(box_toolbar));
    EXPECT_EQ(fraction(), 0.0);
    EXPECT_EQ(progress_width(), 740);
    EXPECT_FALSE(shown(progressbar));  // idle, it would be announced as an empty progress
}

TEST_F(DisplayStates, ReadingAMini)
{
    device_connected = 1;
    connected_device_model = 1;
    reading_config = 1;
    reading_writing_config_fraction = 1.0;
    update_main_window();

    EXPECT_EQ(title(), "Zevrin Mini");
    EXPECT_EQ(message(), "Reading configuration...");
    EXPECT_TRUE(shown(label_message));
    EXPECT_TRUE(shown(box_models));
    EXPECT_FALSE(shown(box_model[0]));
    EXPECT_TRUE(shown(box_model[1]));
    EXPECT_FALSE(shown(box_config));
    EXPECT_FALSE(shown(box_toolbar));
    EXPECT_EQ(fraction(), 1.0);
    EXPECT_EQ(progress_width(), 530);
    EXPECT_TRUE(shown(progressbar));
    ASSERT_TRUE(GTK_IS_LABEL(label_connected_model));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label_connected_model)), "Zevrin Mini");
}

TEST_F(DisplayStates, WritingAZevrinShowsTheFraction)
{
    device_connected = 1;
    connected_device_model = 0;
    writing_config = 1;
    reading_writing_config_fraction = 2.0 / 9.0;
    update_main_window();

    EXPECT_EQ(title(), "Zevrin");
    EXPECT_EQ(message(), "Writing configuration...");
    EXPECT_TRUE(shown(label_message));
    EXPECT_TRUE(shown(box_models));
    EXPECT_TRUE(shown(box_model[0]));
    EXPECT_FALSE(shown(box_model[1]));
    EXPECT_FALSE(shown(box_config));
    EXPECT_FALSE(shown(box_toolbar));
    EXPECT_DOUBLE_EQ(fraction(), 2.0 / 9.0);
    EXPECT_EQ(progress_width(), 740);
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label_connected_model)), "Zevrin");
}

TEST_F(DisplayStates, ReadyShowsTheEditorOnly)
{
    reading_writing_config_fraction = 1.0;  // left over from the transfer
    connect_idle(1);

    EXPECT_EQ(title(), "Zevrin Mini");
    EXPECT_FALSE(shown(label_message));
    EXPECT_FALSE(shown(box_models));
    EXPECT_TRUE(shown(box_config));
    EXPECT_TRUE(shown(box_toolbar));
    EXPECT_EQ(fraction(), 0.0);
    EXPECT_EQ(progress_width(), 530);
}

// Whatever a refresh leaves to do while a transfer runs comes to an end: the main loop falls
// idle during a read and during a write, and the rows show the record when the editor shows.
TEST_F(DisplayStates, TransfersLeaveTheMainLoopIdle)
{
    const int later = some_later_key_index();
    ASSERT_GE(later, 0);
    for (int s = 0; s < max_switches; s++)
        switch_action[s] = {kind_keyboard_key, keybd_hid_codes[later], 1, 1};
    const auto idle = [] { return !g_main_context_pending(nullptr); };
    device_connected = 1;
    connected_device_model = 0;
    config_valid = 1;
    for (int *flag : {&reading_config, &writing_config}) {
        *flag = 1;
        update_main_window();
        update_main_window();
        EXPECT_TRUE(pump_until(idle));
        *flag = 0;
        update_main_window();
        EXPECT_TRUE(shown(box_config));
        for (int s = 0; s < max_switches; s++) {
            EXPECT_TRUE(shown(box_sw[s]));
            EXPECT_EQ(page_shown(s), page_keyboard);
            EXPECT_EQ(entry(combobox_keyb[s]), later);
        }
        EXPECT_TRUE(pump_until(idle));
    }
}

TEST_F(DisplayStates, BothBusyFlagsShowReading)
{
    device_connected = 1;
    reading_config = 1;
    writing_config = 1;
    reading_writing_config_fraction = 0.25;
    update_main_window();
    EXPECT_EQ(message(), "Reading configuration...");
    EXPECT_EQ(fraction(), 0.25);
    EXPECT_FALSE(shown(box_config));
}

TEST_F(DisplayStates, UnplugDuringAReadShowsDisconnectedAtOnce)
{
    device_connected = 1;
    reading_config = 1;
    update_main_window();
    device_connected = 0;
    update_main_window();
    EXPECT_EQ(title(), "Zevrin (disconnected)");
    EXPECT_EQ(message(), "Please connect a Zevrin device to the computer");
    EXPECT_TRUE(shown(box_model[0]));
    EXPECT_TRUE(shown(box_model[1]));
}

// Whether an image widget shows the picture of the data file `name`.
bool shows_picture(GtkWidget *image, const char *name)
{
    if (!GTK_IS_IMAGE(image) || gtk_image_get_storage_type(GTK_IMAGE(image)) != GTK_IMAGE_PIXBUF)
        return false;
    GdkPixbuf *shown_pixbuf = gtk_image_get_pixbuf(GTK_IMAGE(image));
    gchar *file = get_data_file(name);
    GdkPixbuf *expected = gdk_pixbuf_new_from_file(file, nullptr);
    g_free(file);
    if (expected == nullptr)
        return false;
    GBytes *a = gdk_pixbuf_read_pixel_bytes(shown_pixbuf);
    GBytes *b = gdk_pixbuf_read_pixel_bytes(expected);
    const bool same = gdk_pixbuf_get_width(shown_pixbuf) == gdk_pixbuf_get_width(expected) &&
                      gdk_pixbuf_get_height(shown_pixbuf) == gdk_pixbuf_get_height(expected) &&
                      g_bytes_equal(a, b);
    g_bytes_unref(a);
    g_bytes_unref(b);
    g_object_unref(expected);
    return same;
}

TEST_F(DisplayStates, ModelPicturesFollowTheConnection)
{
    update_main_window();
    EXPECT_TRUE(shows_picture(image_model[0], "/images/models/zevrin.png"));
    EXPECT_TRUE(shows_picture(image_model[1], "/images/models/zevrin_mini.png"));

    device_connected = 1;
    connected_device_model = 1;
    reading_config = 1;
    update_main_window();
    EXPECT_TRUE(shows_picture(image_model[1], "/images/models/zevrin_mini_hl.png"));
    EXPECT_FALSE(shows_picture(image_model[1], "/images/models/zevrin_mini.png"));
    EXPECT_TRUE(shows_picture(image_model[0], "/images/models/zevrin.png"));
    EXPECT_TRUE(shows_picture(image_connected_model, "/images/models/zevrin_mini_hl_small.png"));

    // Once disconnected, the connected model's picture and name stay as they were.
    device_connected = 0;
    update_main_window();
    EXPECT_TRUE(shows_picture(image_model[1], "/images/models/zevrin_mini.png"));
    EXPECT_TRUE(shows_picture(image_connected_model, "/images/models/zevrin_mini_hl_small.png"));
    EXPECT_STREQ(gtk_label_get_text(GTK_LABEL(label_connected_model)), "Zevrin Mini");
}

// A refresh that names the picture an image already shows keeps that picture as it is; one set
// some other way, or a picture that could not be loaded, is replaced by the file's picture.
TEST_F(DisplayStates, PicturesAreLoadedOnlyWhenTheyChange)
{
    device_connected = 1;
    connected_device_model = 0;
    reading_config = 1;
    update_main_window();
    // Held, so that a picture loaded anew cannot take the place of a freed one.
    GdkPixbuf *highlighted = gtk_image_get_pixbuf(GTK_IMAGE(image_model[0]));
    GdkPixbuf *small = gtk_image_get_pixbuf(GTK_IMAGE(image_connected_model));
    ASSERT_NE(highlighted, nullptr);
    ASSERT_NE(small, nullptr);
    g_object_ref(highlighted);
    g_object_ref(small);
    reading_writing_config_fraction = 0.5;
    update_main_window();
    EXPECT_EQ(gtk_image_get_pixbuf(GTK_IMAGE(image_model[0])), highlighted);
    EXPECT_EQ(gtk_image_get_pixbuf(GTK_IMAGE(image_connected_model)), small);
    g_object_unref(highlighted);
    g_object_unref(small);

    // Set by something else: the next refresh shows the file's picture again.
    GdkPixbuf *blank = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 3, 3);
    gtk_image_set_from_pixbuf(GTK_IMAGE(image_model[0]), blank);
    gtk_image_clear(GTK_IMAGE(image_connected_model));
    update_main_window();
    EXPECT_TRUE(shows_picture(image_model[0], "/images/models/zevrin_hl.png"));
    EXPECT_TRUE(shows_picture(image_connected_model, "/images/models/zevrin_hl_small.png"));
    g_object_unref(blank);

    // A picture whose file was missing shows the broken-image icon; it is tried again.
    gtk_image_set_from_file(GTK_IMAGE(image_model[1]), "/nonexistent/zevrin_mini.png");
    ASSERT_NE(gtk_image_get_storage_type(GTK_IMAGE(image_model[1])), GTK_IMAGE_PIXBUF);
    device_connected = 0;
    update_main_window();
    EXPECT_TRUE(shows_picture(image_model[0], "/images/models/zevrin.png"));
    EXPECT_TRUE(shows_picture(image_model[1], "/images/models/zevrin_mini.png"));
}

// The text a list shows for its selected entry, as its cell renderer gets it.
std::string shown_text(GtkWidget *combo)
{
    GtkTreeIter iter;
    if (!GTK_IS_COMBO_BOX(combo) || !gtk_combo_box_get_active_iter(GTK_COMBO_BOX(combo), &iter))
        return "";
    GtkCellArea *area = gtk_cell_layout_get_area(GTK_CELL_LAYOUT(combo));
    gtk_cell_area_apply_attributes(area, gtk_combo_box_get_model(GTK_COMBO_BOX(combo)), &iter, FALSE, FALSE);
    GList *cells = gtk_cell_layout_get_cells(GTK_CELL_LAYOUT(combo));
    std::string text;
    if (cells != nullptr && GTK_IS_CELL_RENDERER_TEXT(cells->data)) {
        gchar *t = nullptr;
        g_object_get(cells->data, "text", &t, nullptr);
        text = t ? t : "";
        g_free(t);
    }
    g_list_free(cells);
    return text;
}

std::string key_name(int j)
{
    gchar *name = get_keybd_hid_code_name(keybd_hid_codes[j]);
    std::string s = name ? name : "";
    g_free(name);
    return s;
}

using DisplayKeyLists = WindowTest;

// The eight key lists show the same entries; each keeps its own selection and shows its text.
TEST_F(DisplayKeyLists, EachListShowsItsOwnKey)
{
    for (int s = 0; s < max_switches; s++)
        switch_action[s] = {kind_keyboard_key, keybd_hid_codes[(s * 9) % n_keybd_hid_codes], 0, 0};
    update_main_window();
    for (int s = 0; s < max_switches; s++) {
        const int j = (s * 9) % n_keybd_hid_codes;
        ASSERT_EQ(gtk_tree_model_iter_n_children(gtk_combo_box_get_model(GTK_COMBO_BOX(combobox_keyb[s])), nullptr),
                  n_keybd_hid_codes);
        EXPECT_EQ(entry(combobox_keyb[s]), j) << s;
        EXPECT_EQ(shown_text(combobox_keyb[s]), key_name(j)) << s;
        EXPECT_EQ(read_switch_row(s).code, keybd_hid_codes[j]) << s;
    }
    // A choice in one list leaves the others as they were.
    choose(combobox_keyb[2], 40);
    EXPECT_EQ(shown_text(combobox_keyb[2]), key_name(40));
    for (int s = 0; s < max_switches; s++) {
        if (s != 2) {
            EXPECT_EQ(entry(combobox_keyb[s]), (s * 9) % n_keybd_hid_codes) << s;
        }
    }
}

using DisplayRows = WindowTest;

TEST_F(DisplayRows, RowsAndDividersFollowTheModel)
{
    for (int model = 0; model < n_models; model++) {
        SCOPED_TRACE(model_name[model]);
        connect_idle(model);
        const int n = model_n_switches[model];
        for (int i = 0; i < max_switches; i++) {
            EXPECT_EQ(shown(box_sw[i]), i < n) << "row " << i + 1;
            EXPECT_EQ(shown(separator_sw[i]), i < n - 1) << "divider below row " << i + 1;
        }
    }
}

TEST_F(DisplayRows, GenericRadioButtonsFollowDeveloperOptions)
{
    switch_action[0] = {kind_generic_event, 4, 0, 0};
    show_dev_options = true;
    update_main_window();
    for (int i = 0; i < max_switches; i++)
        EXPECT_TRUE(shown(radiobutton_gen[i])) << "row " << i + 1;

    show_dev_options = false;
    update_main_window();
    for (int i = 0; i < max_switches; i++)
        EXPECT_FALSE(shown(radiobutton_gen[i])) << "row " << i + 1;
    // The generic row still shows its page, with its hidden radio button active.
    EXPECT_EQ(page_shown(0), page_generic);
    EXPECT_TRUE(active(radiobutton_gen[0]));
}

// Shows every entry of a table in every row (row s gets entry (k + s) mod N at pass k), then
// checks the page, the list and what the row reads back.
template <size_t N>
void check_table_round_trip(const std::array<combo_action, N> &table, int page, GtkWidget *const *lists)
{
    for (size_t k = 0; k < N; k++) {
        for (int s = 0; s < max_switches; s++) {
            action_record r = table[(k + s) % N].action;
            r.auto_release = (k + s) % 2;
            switch_action[s] = r;
        }
        update_main_window();
        for (int s = 0; s < max_switches; s++) {
            const int j = static_cast<int>((k + s) % N);
            SCOPED_TRACE(testing::Message() << "row " << s + 1 << ", entry " << j);
            EXPECT_EQ(radio_page(s), page);
            EXPECT_EQ(page_shown(s), page);
            EXPECT_EQ(entry(lists[s]), j);
            // A greyed-out box shows unticked; the row keeps the record's flag all the same.
            EXPECT_EQ(active(checkbutton_auto_release[s]),
                      gtk_widget_get_sensitive(checkbutton_auto_release[s]) && (k + s) % 2 == 1);
            const action_record back = read_switch_row(s);
            EXPECT_EQ(back.kind, table[j].action.kind);
            EXPECT_EQ(back.code, table[j].action.code);
            EXPECT_EQ(back.modifiers, 0);
            EXPECT_EQ(back.auto_release, page == page_generic ? 0 : static_cast<int>((k + s) % 2));
        }
    }
}

using DisplayActions = WindowTest;

TEST_F(DisplayActions, EveryMouseEntryRoundTrips)
{
    check_table_round_trip(mouse_combo_actions, page_mouse, combobox_mouse.data());
}

TEST_F(DisplayActions, EveryJoystickEntryRoundTrips)
{
    check_table_round_trip(joy_combo_actions, page_joystick, combobox_joy.data());
}

TEST_F(DisplayActions, EveryGenericEntryRoundTrips)
{
    show_dev_options = true;
    check_table_round_trip(gen_combo_actions, page_generic, combobox_gen.data());
}

TEST_F(DisplayActions, EveryKeyRoundTripsWithItsModifiers)
{
    for (int k = 0; k < n_keybd_hid_codes; k++) {
        for (int s = 0; s < max_switches; s++) {
            const int j = (k + s) % n_keybd_hid_codes;
            switch_action[s] = {kind_keyboard_key, keybd_hid_codes[j], (k + s) % 8, k % 2};
        }
        update_main_window();
        for (int s = 0; s < max_switches; s++) {
            const int j = (k + s) % n_keybd_hid_codes;
            const int mods = (k + s) % 8;
            SCOPED_TRACE(testing::Message() << "row " << s + 1 << ", key entry " << j);
            EXPECT_EQ(radio_page(s), page_keyboard);
            EXPECT_EQ(page_shown(s), page_keyboard);
            EXPECT_EQ(entry(combobox_keyb[s]), key_list_entry(keybd_hid_codes[j]));
            EXPECT_EQ(active(checkbutton_control[s]), (mods & 1) != 0);
            EXPECT_EQ(active(checkbutton_shift[s]), (mods & 2) != 0);
            EXPECT_EQ(active(checkbutton_alt[s]), (mods & 4) != 0);
            const action_record back = read_switch_row(s);
            EXPECT_EQ(back.kind, kind_keyboard_key);
            EXPECT_EQ(back.code, keybd_hid_codes[j]);
            EXPECT_EQ(back.modifiers, mods);
            EXPECT_EQ(back.auto_release, k % 2);
        }
    }
}

using DisplayOddRecords = WindowTest;

int list_size(GtkWidget *combo)
{
    return gtk_tree_model_iter_n_children(gtk_combo_box_get_model(GTK_COMBO_BOX(combo)), nullptr);
}

const char *const other_action = "Other action (kept as it is)";

// Row s shown from a record holding `a`.
void show_row(int s, const action_record &a)
{
    switch_action[s] = a;
    update_main_window();
}

TEST_F(DisplayOddRecords, MouseButtonWithUnknownCodeShowsOtherAction)
{
    show_row(0, {kind_keyboard_key, keybd_hid_codes[0], 0, 1});
    ASSERT_EQ(page_shown(0), page_keyboard);

    const action_record odd{kind_mouse_button, 7, 8, 2};
    show_row(0, odd);
    EXPECT_EQ(radio_page(0), page_mouse);
    EXPECT_EQ(page_shown(0), page_mouse);
    EXPECT_EQ(list_size(combobox_mouse[0]), 9);
    EXPECT_EQ(entry(combobox_mouse[0]), 8);
    EXPECT_EQ(shown_text(combobox_mouse[0]), other_action);
    EXPECT_FALSE(gtk_widget_get_sensitive(checkbutton_auto_release[0]));  // no auto-release for it
    EXPECT_EQ(read_switch_row(0), odd);  // kept as it is, modifiers and auto-release too

    // An action of the list takes the extra entry away.
    show_row(0, {kind_mouse_button, 2, 0, 1});
    EXPECT_EQ(list_size(combobox_mouse[0]), 8);
    EXPECT_EQ(entry(combobox_mouse[0]), 2);
}

TEST_F(DisplayOddRecords, KeyNotInTheListShowsOtherActionInThatRowOnly)
{
    const int later = some_later_key_index();
    ASSERT_GE(later, 0);
    ASSERT_LT(key_list_entry(0), 0) << "usage 0 must not be in the key list";
    switch_action[1] = {kind_keyboard_key, 0, 6 | 8, 1};
    switch_action[2] = {kind_keyboard_key, keybd_hid_codes[later], 0, 0};
    update_main_window();
    EXPECT_EQ(radio_page(1), page_keyboard);
    EXPECT_EQ(page_shown(1), page_keyboard);
    EXPECT_EQ(list_size(combobox_keyb[1]), n_keybd_hid_codes + 1);
    EXPECT_EQ(entry(combobox_keyb[1]), n_keybd_hid_codes);
    EXPECT_EQ(shown_text(combobox_keyb[1]), other_action);
    EXPECT_FALSE(active(checkbutton_control[1]));
    EXPECT_TRUE(active(checkbutton_shift[1]));
    EXPECT_TRUE(active(checkbutton_alt[1]));
    // The row's code stays; the modifiers and auto-release are those the row shows.
    EXPECT_EQ(read_switch_row(1), (action_record{kind_keyboard_key, 0, 6, 1}));
    // The other key lists keep the shared list of keys.
    EXPECT_EQ(list_size(combobox_keyb[2]), n_keybd_hid_codes);
    EXPECT_EQ(entry(combobox_keyb[2]), later);
    // A key picked in the list is that key, the rest of the list as ever.
    choose(combobox_keyb[1], later);
    EXPECT_EQ(read_switch_row(1).code, keybd_hid_codes[later]);
    EXPECT_EQ(shown_text(combobox_keyb[1]), key_name(later));

    show_row(1, {kind_keyboard_key, keybd_hid_codes[3], 0, 1});
    EXPECT_EQ(list_size(combobox_keyb[1]), n_keybd_hid_codes);
    EXPECT_EQ(entry(combobox_keyb[1]), 3);
}

TEST_F(DisplayOddRecords, UnknownKindShowsOtherActionOnTheMousePage)
{
    for (int32_t kind : {9, -1, 0x7F}) {
        SCOPED_TRACE(kind);
        show_row(2, {kind_joystick_button, 2, 0, 0});  // Button 3
        ASSERT_EQ(page_shown(2), page_joystick);
        const action_record odd{kind, 1, 7, 1};
        show_row(2, odd);
        EXPECT_EQ(radio_page(2), page_mouse);
        EXPECT_EQ(page_shown(2), page_mouse);
        EXPECT_EQ(shown_text(combobox_mouse[2]), other_action);
        EXPECT_EQ(list_size(combobox_joy[2]), 12);
        EXPECT_FALSE(gtk_widget_get_sensitive(checkbutton_auto_release[2]));
        EXPECT_FALSE(active(checkbutton_auto_release[2]));
        EXPECT_EQ(read_switch_row(2), odd);
    }
}

using DisplaySettings = WindowTest;

TEST_F(DisplaySettings, DisplacementShowsItsPresetOrItsPercentage)
{
    const std::pair<int, int> presets[] = {{32, 0}, {64, 1}, {93, 2}, {115, 3}, {127, 4}};
    for (auto [value, expected] : presets) {
        joy_displacement = value;
        update_main_window();
        EXPECT_EQ(entry(combobox_joy_displacement), expected) << value;
        EXPECT_EQ(list_size(combobox_joy_displacement), 5) << value;
    }
    // Between the presets, below and above them: an entry of its own, the value as a share of
    // 127 (the byte as the box holds it, so -106 is 150).
    const std::pair<int, const char *> others[] = {{100, "79%"}, {31, "24%"}, {0, "0%"}, {126, "99%"},
                                                   {200, "157%"}, {-106, "118%"}};
    for (auto [value, text] : others) {
        joy_displacement = value;
        update_main_window();
        EXPECT_EQ(entry(combobox_joy_displacement), 5) << value;
        EXPECT_EQ(list_size(combobox_joy_displacement), 6) << value;
        EXPECT_EQ(shown_text(combobox_joy_displacement), text) << value;
    }
}

TEST_F(DisplaySettings, MouseSpeedShowsThePresetOfItsNumbers)
{
    for (int k = 0; k < 4; k++) {
        const mouse_speed_preset &p = mouse_combo_speeds[k];
        mouse_speed = std::to_array(p.speed);
        // The stretch of 150 as a report brings it: the byte 0x96, read as -106.
        mouse_stretch = {p.stretch[0], p.stretch[1] - 256};
        update_main_window();
        EXPECT_EQ(entry(combobox_mouse_speed), k);
        EXPECT_EQ(list_size(combobox_mouse_speed), 4);
    }
    for (auto numbers : {std::array<int, 5>{5, 18, 8, 40, 150}, std::array<int, 5>{12, 12, 12, 41, 150},
                         std::array<int, 5>{0, 0, 0, 0, 0}}) {
        mouse_speed = {numbers[0], numbers[1], numbers[2]};
        mouse_stretch = {numbers[3], numbers[4]};
        update_main_window();
        EXPECT_EQ(entry(combobox_mouse_speed), 4);
        EXPECT_EQ(shown_text(combobox_mouse_speed), "As set in the device");
    }
}

// Counts emissions of one signal on one widget.
struct counted {
    GtkWidget *widget;
    int count = 0;
};

void count_cb(GtkWidget *, gpointer data)
{
    static_cast<counted *>(data)->count++;
}

using DisplaySignals = WindowTest;

TEST_F(DisplaySignals, SecondRefreshEmitsNoSignal)
{
    const int later = some_later_key_index();
    ASSERT_GE(later, 0);
    show_dev_options = true;
    switch_action[0] = {kind_keyboard_key, keybd_hid_codes[later], 3, 1};
    switch_action[1] = {kind_keyboard_key, keybd_hid_codes[0], 4, 0};
    switch_action[2] = {kind_mouse_button, 1, 0, 1};
    switch_action[3] = {kind_joystick_movement, 8, 0, 0};
    switch_action[4] = {kind_generic_event, 5, 0, 0};
    switch_action[5] = {9, 0, 0, 1};
    switch_action[6] = {kind_mouse_button, 7, 0, 0};
    switch_action[7] = {kind_joystick_button, 6, 0, 1};
    mouse_speed_index = 2;
    joy_displacement = 20;
    connect_idle(0);

    std::vector<counted> changed, toggled;
    changed.reserve(64);
    toggled.reserve(128);
    auto watch = [](std::vector<counted> &v, GtkWidget *w, const char *signal) {
        ASSERT_NE(w, nullptr);
        v.push_back({w});
        g_signal_connect(w, signal, G_CALLBACK(count_cb), &v.back());
    };
    for (int s = 0; s < max_switches; s++) {
        for (GtkWidget *w : {combobox_mouse[s], combobox_keyb[s], combobox_joy[s], combobox_gen[s]})
            watch(changed, w, "changed");
        for (GtkWidget *w : {radiobutton_mouse[s], radiobutton_keyb[s], radiobutton_joy[s], radiobutton_gen[s],
                             checkbutton_auto_release[s], checkbutton_control[s], checkbutton_shift[s],
                             checkbutton_alt[s]})
            watch(toggled, w, "toggled");
    }
    watch(changed, combobox_mouse_speed, "changed");
    watch(changed, combobox_joy_displacement, "changed");

    update_main_window();

    for (const counted &c : toggled)
        EXPECT_EQ(c.count, 0) << gtk_buildable_get_name(GTK_BUILDABLE(c.widget));
    // Nothing was replaced: the rows are not set again.
    for (const counted &c : changed)
        EXPECT_EQ(c.count, 0) << gtk_buildable_get_name(GTK_BUILDABLE(c.widget));

    for (const counted &c : changed)
        g_signal_handlers_disconnect_by_data(c.widget, const_cast<counted *>(&c));
    for (const counted &c : toggled)
        g_signal_handlers_disconnect_by_data(c.widget, const_cast<counted *>(&c));
}

using DisplayWindow = WindowTest;

TEST_F(DisplayWindow, ShowMainWindowPresentsWithoutRefreshing)
{
    // Hiding the main window normally ends the program; not here.
    const guint blocked = g_signal_handlers_block_matched(window_main, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                                          reinterpret_cast<gpointer>(gtk_main_quit), nullptr);
    gtk_widget_hide(window_main);
    pump();
    switch_action[0] = {kind_joystick_button, 5, 0, 0};  // not yet refreshed
    show_main_window();
    pump();
    g_signal_handlers_unblock_matched(window_main, G_SIGNAL_MATCH_FUNC, 0, 0, nullptr,
                                      reinterpret_cast<gpointer>(gtk_main_quit), nullptr);
    EXPECT_GT(blocked, 0u);
    EXPECT_TRUE(gtk_widget_get_visible(window_main));
    EXPECT_EQ(radio_page(0), page_mouse);
}

}  // namespace
