// The sample Zelvant client, a GTK 2 program. With "-v" it prints its
// version. Run by the launcher script it shows on DISPLAY a window titled
// with the translated greeting, holding the greeting in the installation's
// own font and an image loaded through the gdk-pixbuf loaders in use, and
// once the window is drawn it reports in one line what it observed:
//
//   zelclient: version=V locale=L display=D window=W home=H installation=I
//              support=S font=F pixbuf=P loaders=L pangorc=R modulefiles=M
//              greeting=G
//
// (all on one line; ReportLine.h says how values are quoted). font= is the
// file fontconfig resolved for the family, pixbuf= the image's format and
// size as loaded or "failed:" and why. It exits when its window is closed,
// or right after the report with ZELCLIENT_CLOSE_AFTER_DRAW=1; with
// ZELCLIENT_SCREENSHOT=FILE xwd first writes the drawn window to FILE.
// Without a display it reports what it could observe and fails.
#include "ReportLine.h"

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <gdk/gdkx.h>
#include <gtk/gtk.h>
#include <libintl.h>
#include <pango/pangofc-font.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr const char* fontFamily = "Zelvant Sans";

std::string environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

// The installation that holds this program: bin/zelclient lives one level
// below it.
std::string programInstallation()
{
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return ".";
    std::string path(buffer, static_cast<size_t>(length));
    for (int level = 0; level < 2; ++level)
        path.erase(path.rfind('/'));
    return path;
}

// The installation the launcher named, else (started by hand) the program's.
std::string installationDirectory()
{
    if (const char* directory = std::getenv("ZELVANT_DIR"); directory && *directory)
        return directory;
    return programInstallation();
}

struct Client {
    std::string display, window, font, pixbuf, greeting;
    GtkWidget* toplevel = nullptr;
    GtkWidget* label = nullptr;
    PangoFontDescription* fontDescription = nullptr;
    bool drawn = false;
    int status = 0;
};

// The image as gdk-pixbuf loads it with the loader file in use.
GdkPixbuf* loadImage(const std::string& path, std::string& description)
{
    GdkPixbuf* pixbuf = nullptr;
    gchar* contents = nullptr;
    gsize length = 0;
    GError* error = nullptr;
    if (g_file_get_contents(path.c_str(), &contents, &length, &error)) {
        GdkPixbufLoader* loader = gdk_pixbuf_loader_new();
        bool written = gdk_pixbuf_loader_write(loader, reinterpret_cast<const guchar*>(contents), length, &error);
        // Closed in any case: a loader left open complains when it goes.
        bool closed = gdk_pixbuf_loader_close(loader, written ? &error : nullptr);
        if (written && closed) {
            pixbuf = GDK_PIXBUF(g_object_ref(gdk_pixbuf_loader_get_pixbuf(loader)));
            gchar* format = gdk_pixbuf_format_get_name(gdk_pixbuf_loader_get_format(loader));
            description = std::string { format } + ":" + std::to_string(gdk_pixbuf_get_width(pixbuf)) + "x"
                + std::to_string(gdk_pixbuf_get_height(pixbuf));
            g_free(format);
        }
        g_object_unref(loader);
        g_free(contents);
    }
    if (error) {
        description = std::string { "failed:" } + error->message;
        g_error_free(error);
    }
    return pixbuf;
}

// The file fontconfig gave Pango for the family; marked when it belongs to
// another family that fontconfig put in its place.
std::string resolvedFontFile(PangoContext* context, const PangoFontDescription* description)
{
    PangoFont* font = pango_context_load_font(context, description);
    std::string file = "none";
    if (font && PANGO_IS_FC_FONT(font)) {
        FcPattern* pattern = pango_fc_font_get_pattern(PANGO_FC_FONT(font));
        FcChar8* path = nullptr;
        FcChar8* family = nullptr;
        if (FcPatternGetString(pattern, FC_FILE, 0, &path) == FcResultMatch)
            file = reinterpret_cast<const char*>(path);
        if (FcPatternGetString(pattern, FC_FAMILY, 0, &family) != FcResultMatch
            || std::strcmp(reinterpret_cast<const char*>(family), fontFamily) != 0)
            file = "substitute:" + file;
    }
    if (font)
        g_object_unref(font);
    return file;
}

// Current Pango reads no modules: all the client can tell is where the
// ModuleFiles line of the pangorc it was given points.
std::string moduleFiles(const std::string& pangorc)
{
    std::ifstream stream(pangorc);
    if (pangorc.empty() || !stream)
        return "missing";
    for (std::string line; std::getline(stream, line);) {
        size_t equals = line.find('=');
        if (!line.starts_with("ModuleFiles") || equals == std::string::npos)
            continue;
        size_t start = line.find_first_not_of(" \t", equals + 1);
        return start == std::string::npos ? "" : line.substr(start);
    }
    return "none";
}

void printReport(const Client& client)
{
    std::string locale = std::getenv("ZELVANT_LOCALE") ? environmentValue("ZELVANT_LOCALE") : environmentValue("LANG");
    std::string loaders
        = std::getenv("GDK_PIXBUF_MODULE_FILE") ? environmentValue("GDK_PIXBUF_MODULE_FILE") : "default";
    std::string pangorc = environmentValue("PANGO_RC_FILE");
    const std::pair<const char*, std::string> fields[] = {
        { "version", ZELCLIENT_VERSION },
        { "locale", locale },
        { "display", client.display },
        { "window", client.window },
        { "home", environmentValue("HOME") },
        { "installation", installationDirectory() },
        { "support", environmentValue("ZELVANT_SUPPORT_DIR") },
        { "font", client.font },
        { "pixbuf", client.pixbuf },
        { "loaders", loaders },
        { "pangorc", pangorc },
        { "modulefiles", moduleFiles(pangorc) },
        { "greeting", client.greeting },
    };
    std::string line = "zelclient:";
    for (const auto& [name, value] : fields)
        line += std::string { " " } + name + "=" + reportValue(value);
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

// xwd, found on PATH, writes the window as the X server holds it.
bool takeScreenshot(const std::string& window, const std::string& file)
{
    std::string arguments[] = { "xwd", "-silent", "-id", window, "-out", file };
    std::vector<gchar*> argv;
    for (auto& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    gint status = 0;
    GError* error = nullptr;
    if (g_spawn_sync(
            nullptr, argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, nullptr, nullptr, &status, &error)
        && g_spawn_check_wait_status(status, &error))
        return true;
    std::fprintf(stderr, "zelclient: no screenshot in %s: %s\n", file.c_str(), error->message);
    g_error_free(error);
    return false;
}

gboolean afterDrawing(gpointer data)
{
    auto& client = *static_cast<Client*>(data);
    // What the window shows is on the server before anyone looks.
    gdk_window_process_all_updates();
    gdk_flush();
    char window[32];
    std::snprintf(window, sizeof window, "0x%lx", GDK_WINDOW_XID(gtk_widget_get_window(client.toplevel)));
    client.window = window;
    client.font = resolvedFontFile(gtk_widget_get_pango_context(client.label), client.fontDescription);
    printReport(client);
    if (std::string file = environmentValue("ZELCLIENT_SCREENSHOT"); !file.empty() && !takeScreenshot(window, file))
        client.status = 1;
    if (environmentValue("ZELCLIENT_CLOSE_AFTER_DRAW") == "1")
        gtk_widget_destroy(client.toplevel);
    return G_SOURCE_REMOVE;
}

gboolean exposed(GtkWidget*, GdkEventExpose*, gpointer data)
{
    auto& client = *static_cast<Client*>(data);
    if (!client.drawn) {
        client.drawn = true;
        g_idle_add(afterDrawing, data);
    }
    return FALSE;
}

void showWindow(Client& client, GdkPixbuf* pixbuf)
{
    client.toplevel = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(client.toplevel), client.greeting.c_str());
    gtk_container_set_border_width(GTK_CONTAINER(client.toplevel), 24);
    GtkWidget* box = gtk_vbox_new(FALSE, 16);
    // Without the image, the window says why.
    GtkWidget* image = pixbuf ? gtk_image_new_from_pixbuf(pixbuf) : gtk_label_new(client.pixbuf.c_str());
    client.label = gtk_label_new(client.greeting.c_str());
    gtk_widget_modify_font(client.label, client.fontDescription);
    gtk_box_pack_start(GTK_BOX(box), image, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(box), client.label, FALSE, FALSE, 0);
    gtk_container_add(GTK_CONTAINER(client.toplevel), box);
    g_signal_connect(client.toplevel, "destroy", G_CALLBACK(gtk_main_quit), nullptr);
    g_signal_connect_after(client.toplevel, "expose-event", G_CALLBACK(exposed), &client);
    gtk_widget_show_all(client.toplevel);
}

}

// Fontconfig keeps what it has read until the process ends; a sanitized
// build's leak check is to find our leaks, not theirs.
extern "C" const char*
__lsan_default_suppressions(); // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
extern "C" const char* __lsan_default_suppressions() // NOLINT(bugprone-reserved-identifier,cert-dcl37-c,cert-dcl51-cpp)
{
    return "leak:libfontconfig.so\n";
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "-v") == 0) {
        std::printf("zelclient version %s (Zelvant sample client)\n", ZELCLIENT_VERSION);
        return 0;
    }

    // The chosen locale may not be installed on this machine (often only
    // C.UTF-8 is). Messages then still follow LANGUAGE, which gettext
    // honours in any locale but plain C; GTK must not undo this choice.
    if (!std::setlocale(LC_ALL, ""))
        std::setlocale(LC_ALL, "C.UTF-8");
    gtk_disable_setlocale();
    std::string catalogue = installationDirectory() + "/share/locale";
    bindtextdomain("zelclient", catalogue.c_str());
    bind_textdomain_codeset("zelclient", "UTF-8");
    textdomain("zelclient");

    Client client;
    client.greeting = gettext("Welcome to Zelvant!");
    client.fontDescription = pango_font_description_from_string((std::string { fontFamily } + " 28").c_str());
    // The image is the program's own, wherever the installation the launcher
    // copies from lies.
    GdkPixbuf* pixbuf = loadImage(programInstallation() + "/share/zelclient/zelvant-emblem.xpm", client.pixbuf);
    if (gtk_init_check(&argc, &argv)) {
        // The menu entry's StartupWMClass: the desktop matches the window to the entry by it.
        gdk_set_program_class("Zelvant");
        client.display = gdk_display_get_name(gdk_display_get_default());
        showWindow(client, pixbuf);
        gtk_main();
    } else {
        // Like any X client without a display it fails, but says first what
        // it found of its data.
        PangoContext* context = pango_font_map_create_context(pango_cairo_font_map_get_default());
        client.font = resolvedFontFile(context, client.fontDescription);
        g_object_unref(context);
        printReport(client);
        std::fprintf(stderr, "zelclient: cannot open the display \"%s\"\n", environmentValue("DISPLAY").c_str());
        client.status = 1;
    }
    if (pixbuf)
        g_object_unref(pixbuf);
    pango_font_description_free(client.fontDescription);
    return std::ferror(stdout) ? 1 : client.status;
}
