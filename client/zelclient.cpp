// The sample Zelvant client: answers "-v" with its version and, run by the
// launcher script, reports in one line what its environment gave it.
#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <string>
#include <unistd.h>

static std::string installationDirectory()
{
    // bin/zelclient lives one level below the installation directory.
    char buffer[4096];
    ssize_t length = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
    if (length <= 0)
        return ".";
    std::string path(buffer, static_cast<size_t>(length));
    for (int level = 0; level < 2; ++level)
        path.erase(path.rfind('/'));
    return path;
}

static const char* fileStatus(const char* variable)
{
    const char* path = std::getenv(variable);
    return path && *path && access(path, R_OK) == 0 ? "ok" : "missing";
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "-v") == 0) {
        std::printf("zelclient version %s (Zelvant sample client)\n", ZELCLIENT_VERSION);
        return 0;
    }

    std::setlocale(LC_ALL, "");
    std::string locale = installationDirectory() + "/share/locale";
    bindtextdomain("zelclient", locale.c_str());
    bind_textdomain_codeset("zelclient", "UTF-8");
    textdomain("zelclient");

    const char* lang = std::getenv("LANG");
    const char* display = std::getenv("DISPLAY");
    std::printf("zelclient: version=%s locale=%s display=%s fonts=%s pangorc=%s pixbuf=%s greeting=%s\n",
        ZELCLIENT_VERSION, lang ? lang : "", display ? display : "",
        fileStatus("ZELVANT_FONTS_DIR"), fileStatus("PANGO_RC_FILE"), fileStatus("GDK_PIXBUF_MODULE_FILE"),
        gettext("Welcome to Zelvant!"));
    return 0;
}
