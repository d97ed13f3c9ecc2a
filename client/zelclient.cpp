// The sample Zelvant client: answers "-v" with its version and, run by the
// launcher script, reports in one line what its environment gave it:
//
//   zelclient: version=V locale=L display=D home=H installation=I support=S
//              fonts=ok|missing pangorc=ok|missing pixbuf=ok|missing greeting=G
//
// (all on one line). A value is written bare when it is non-empty and holds
// only printable ASCII other than space, '"', '\' and '='; otherwise it is
// written in double quotes, with \\ for '\', \" for '"', \n, \r, \t, and \xHH
// for every other control byte, for bytes that are not UTF-8 and for the
// UTF-8 forms of U+0080..U+009F, U+2028 and U+2029. Other UTF-8 text stays
// as it is. So every value reads back exactly, and the report is one line.
#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <libintl.h>
#include <string>
#include <string_view>
#include <unistd.h>

static std::string environmentValue(const char* name)
{
    const char* value = std::getenv(name);
    return value ? value : "";
}

static std::string installationDirectory()
{
    if (const char* directory = std::getenv("ZELVANT_DIR"); directory && *directory)
        return directory;
    // Started by hand: bin/zelclient lives one level below the installation.
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

// Length of the UTF-8 sequence at the start of text that is safe to show as
// it is, or 0 when its bytes must be escaped.
static size_t printableUTF8Length(std::string_view text)
{
    auto byte = [&](size_t index) { return static_cast<unsigned char>(text[index]); };
    unsigned char lead = byte(0);
    size_t length = 0;
    if (lead >= 0xC2 && lead <= 0xDF)
        length = 2;
    else if (lead >= 0xE0 && lead <= 0xEF)
        length = 3;
    else if (lead >= 0xF0 && lead <= 0xF4)
        length = 4;
    if (!length || text.size() < length)
        return 0;
    uint32_t codePoint = lead & (0x7Fu >> length);
    for (size_t index = 1; index < length; ++index) {
        if ((byte(index) & 0xC0) != 0x80)
            return 0;
        codePoint = codePoint << 6 | (byte(index) & 0x3F);
    }
    bool overlong = (length == 3 && codePoint < 0x800) || (length == 4 && codePoint < 0x10000);
    bool invalid = codePoint > 0x10FFFF || (codePoint >= 0xD800 && codePoint <= 0xDFFF);
    bool breaksLines = codePoint <= 0x9F || codePoint == 0x2028 || codePoint == 0x2029;
    return overlong || invalid || breaksLines ? 0 : length;
}

static std::string reportValue(std::string_view value)
{
    bool bare = !value.empty();
    for (unsigned char c : value)
        bare = bare && c > 0x20 && c < 0x7F && c != '"' && c != '\\' && c != '=';
    if (bare)
        return std::string { value };

    std::string quoted = "\"";
    for (size_t index = 0; index < value.size();) {
        unsigned char c = static_cast<unsigned char>(value[index]);
        if (c >= 0x80) {
            if (size_t length = printableUTF8Length(value.substr(index))) {
                quoted.append(value.substr(index, length));
                index += length;
                continue;
            }
        }
        switch (c) {
        case '\\':
            quoted += "\\\\";
            break;
        case '"':
            quoted += "\\\"";
            break;
        case '\n':
            quoted += "\\n";
            break;
        case '\r':
            quoted += "\\r";
            break;
        case '\t':
            quoted += "\\t";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char escape[5];
                std::snprintf(escape, sizeof escape, "\\x%02X", c);
                quoted += escape;
            } else {
                quoted += static_cast<char>(c);
            }
        }
        ++index;
    }
    return quoted + "\"";
}

int main(int argc, char** argv)
{
    if (argc > 1 && std::strcmp(argv[1], "-v") == 0) {
        std::printf("zelclient version %s (Zelvant sample client)\n", ZELCLIENT_VERSION);
        return 0;
    }

    // The chosen locale may not be installed on this machine (often only
    // C.UTF-8 is). Messages then still follow LANGUAGE, which gettext
    // honours in any locale but plain C.
    if (!std::setlocale(LC_ALL, ""))
        std::setlocale(LC_ALL, "C.UTF-8");
    std::string installation = installationDirectory();
    std::string catalogue = installation + "/share/locale";
    bindtextdomain("zelclient", catalogue.c_str());
    bind_textdomain_codeset("zelclient", "UTF-8");
    textdomain("zelclient");

    std::string locale = std::getenv("ZELVANT_LOCALE") ? environmentValue("ZELVANT_LOCALE") : environmentValue("LANG");
    struct Field {
        const char* name;
        std::string value;
    };
    const Field fields[] = {
        { "version", ZELCLIENT_VERSION },
        { "locale", locale },
        { "display", environmentValue("DISPLAY") },
        { "home", environmentValue("HOME") },
        { "installation", installation },
        { "support", environmentValue("ZELVANT_SUPPORT_DIR") },
        { "fonts", fileStatus("FONTCONFIG_FILE") },
        { "pangorc", fileStatus("PANGO_RC_FILE") },
        { "pixbuf", fileStatus("GDK_PIXBUF_MODULE_FILE") },
        { "greeting", gettext("Welcome to Zelvant!") },
    };
    std::string line = "zelclient:";
    for (const auto& field : fields)
        line += std::string { " " } + field.name + "=" + reportValue(field.value);
    line += "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}
