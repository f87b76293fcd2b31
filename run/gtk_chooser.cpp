#include "gtk_chooser.h"

#include <gtk/gtk.h>
#include <unistd.h>

#ifdef GDK_WINDOWING_X11
#include <gdk/gdkx.h>
#endif
#ifdef GDK_WINDOWING_WAYLAND
#include <gdk/gdkwayland.h>
#include <poll.h>

#include <cstring>
#endif

namespace {

#ifdef GDK_WINDOWING_X11
// The display went away (the X server ended, or the session): GDK's own handler ends the process
// with code 1. This happens only inside a dialog, while no file of the run is open and no output
// exists (the input is closed before the save dialog, the output made after it), so the run ends
// here as after a cancel: silently, with code 0, leaving nothing. Xlib must not be called again,
// nor may the process's exit handlers run (GTK's would use the dead connection).
int end_run_without_display(Display*) { _exit(0); }
#endif

#ifdef GDK_WINDOWING_WAYLAND
bool wayland_connection_lost(wl_display* display) {
    if (wl_display_get_error(display) != 0) return true;
    pollfd connection{wl_display_get_fd(display), 0, 0};
    return poll(&connection, 1, 0) == 1 && (connection.revents & (POLLHUP | POLLERR)) != 0;
}

// The compositor went away: GDK's Wayland backend ends the process with code 1, right after
// logging a message of its own ("Lost connection to Wayland compositor.", "Error reading events
// from display: ..."). Every log message passes through here first; one of GDK's, logged while the
// connection to the compositor is gone, ends the run as after a cancel, for the same reasons as
// on X11. Everything else goes on to GLib's own writer (whose output the programs silence).
GLogWriterOutput end_run_when_compositor_lost(GLogLevelFlags level, const GLogField* fields, gsize count,
                                              gpointer data) {
    for (gsize i = 0; i < count; ++i) {
        if (std::strcmp(fields[i].key, "GLIB_DOMAIN") != 0 || fields[i].length >= 0 ||
            std::strcmp(static_cast<const char*>(fields[i].value), "Gdk") != 0)
            continue;
        GdkDisplay* display = gdk_display_get_default();
        if (display != nullptr && GDK_IS_WAYLAND_DISPLAY(display) &&
            wayland_connection_lost(gdk_wayland_display_get_wl_display(display)))
            _exit(0);
    }
    return g_log_writer_default(level, fields, count, data);
}
#endif

bool gtk_ready() {
    static const bool ready = [] {
#ifdef GDK_WINDOWING_WAYLAND
        g_log_set_writer_func(end_run_when_compositor_lost, nullptr, nullptr);
#endif
        if (!gtk_init_check(nullptr, nullptr)) return false;
#ifdef GDK_WINDOWING_X11
        if (GDK_IS_X11_DISPLAY(gdk_display_get_default())) XSetIOErrorHandler(end_run_without_display);
#endif
        return true;
    }();
    return ready;
}

// Lets the closed dialog disappear before anything else happens.
void finish_pending_events() {
    while (gtk_events_pending()) gtk_main_iteration();
}

}  // namespace

// No title (the system's default), no proposed name, no overwrite question and no extension
// added: whether a name may be used is decided by how the run creates the file. The filter's
// pattern is "*" because "*.*" would hide names without a dot.
bool choose_with_gtk(chooser_kind kind, std::string& path) {
    if (!gtk_ready()) return false;

    const auto action = kind == chooser_kind::input ? GTK_FILE_CHOOSER_ACTION_OPEN : GTK_FILE_CHOOSER_ACTION_SAVE;
    GtkFileChooserNative* dialog = gtk_file_chooser_native_new(nullptr, nullptr, action, nullptr, nullptr);
    GtkFileChooser* chooser = GTK_FILE_CHOOSER(dialog);
    GtkFileFilter* all_files = gtk_file_filter_new();
    gtk_file_filter_set_name(all_files, "All files");
    gtk_file_filter_add_pattern(all_files, "*");
    gtk_file_chooser_add_filter(chooser, all_files);
    gtk_file_chooser_set_do_overwrite_confirmation(chooser, FALSE);
    gtk_file_chooser_set_local_only(chooser, TRUE);

    bool chosen = false;
    if (gtk_native_dialog_run(GTK_NATIVE_DIALOG(dialog)) == GTK_RESPONSE_ACCEPT) {
        if (gchar* name = gtk_file_chooser_get_filename(chooser)) {
            path = name;
            chosen = true;
            g_free(name);
        }
    }
    g_object_unref(dialog);
    finish_pending_events();
    return chosen;
}
