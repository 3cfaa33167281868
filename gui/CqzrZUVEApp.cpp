// The monitor program's start-up names and settings file.
//
// The edition follows the name the program was started under (argv[0]), so
// that a link named qzrSPLCE to the program starts the English edition.
#include "gui/CqzrZUVEApp.h"

#include <QPainter>
#include <QPixmap>
#include <cstdio>
#include <cstring>
#include <string>
#include <strings.h>

#include "gui/CMainFrame.h"
#include "runtime/XKWCode.h"
#include "runtime/XKWIni.h"
#include "runtime/XKWPath.h"
#include "runtime/XKWStr.h"
#include "runtime/XKWText.h"

namespace {

constexpr const char* kJapaneseName = "qzrZUVE";
constexpr const char* kEnglishName = "qzrSPLCE";

}  // namespace

CqzrZUVEApp::CqzrZUVEApp(int argc, char** argv)
{
    char program[XKW_PATH_MAX] = "";
    if (argc > 0 && argv[0] != nullptr && argv[0][0] != '\0')
        XKWStrCopy(program, argv[0], sizeof program);
    else
        XKWPathProgram(program, sizeof program);
    english_ = strcasecmp(XKWPathStem(program), kEnglishName) == 0;
    std::snprintf(bridge_ini_, sizeof bridge_ini_, "%s.ini", english_ ? kEnglishName : kJapaneseName);

    for (int i = 1; i + 1 < argc; ++i) {
        const char* arg = argv[i];
        if (arg[0] != '+')
            continue;
        const char* value = argv[i + 1];
        switch (arg[1]) {
        case 'S': XKWStrCopy(settings_name_, value, sizeof settings_name_); break;
        case 'i': XKWStrCopy(bridge_ini_, value, sizeof bridge_ini_); break;
        case 'p': XKWStrCopy(plc_section_, value, sizeof plc_section_); break;
        case 's': XKWStrCopy(secs_section_, value, sizeof secs_section_); break;
        default: continue;
        }
        ++i;
    }

    // The settings file sits beside the bridge INI file, or beside the
    // program when that name has no directory.
    std::string dir = XKWPathDir(bridge_ini_);
    if (dir.empty()) {
        char self[XKW_PATH_MAX] = "";
        XKWPathProgram(self, sizeof self);
        dir = XKWPathDir(self);
    }
    if (settings_name_[0] != '\0')
        XKWPathJoin(settings_file_, sizeof settings_file_, dir.c_str(), settings_name_, nullptr);
    else
        XKWPathJoin(settings_file_, sizeof settings_file_, dir.c_str(),
                    (std::string(XKWPathStem(bridge_ini_)) + "Win.ini").c_str(), nullptr);
}

CqzrZUVEApp::~CqzrZUVEApp() = default;

bool CqzrZUVEApp::InitInstance()
{
    frame_ = std::make_unique<CMainFrame>(*this);
    frame_->show_initial();
    return true;
}

int32_t CqzrZUVEApp::profile_int(const char* section, const char* key, int32_t fallback) const
{
    char value[64] = "";
    if (XKWIniGetEx(settings_file_, section, key, value, sizeof value, 0) != 0 || value[0] == '\0')
        return fallback;
    return int32_t(XKWTextToInt(value, fallback));
}

QString CqzrZUVEApp::profile_string(const char* section, const char* key) const
{
    char value[XKW_INI_VALUE] = "";
    XKWIniGetEx(settings_file_, section, key, value, sizeof value, 0);
    return QString::fromUtf8(value);
}

bool CqzrZUVEApp::write_profile_int(const char* section, const char* key, int32_t value) const
{
    return XKWIniPut(settings_file_, section, key, std::to_string(value).c_str()) == 0;
}

bool CqzrZUVEApp::write_profile_string(const char* section, const char* key, const char* value) const
{
    return XKWIniPut(settings_file_, section, key, value) == 0;
}

QString CqzrZUVEApp::process_text(const char* text)
{
    size_t len = std::strlen(text);
    int32_t code = XKWCodeGet();
    if (code == XKW_CODE_UTF8)
        return QString::fromUtf8(text, qsizetype(len));
    // Every character of the process code takes at most 3 bytes in UTF-8.
    std::string utf8(len * 3 + 1, '\0');
    int32_t n = XKWCodeConvert(code, XKW_CODE_UTF8, text, len, utf8.data(), utf8.size());
    if (n < 0)  // not in the process code: show what can be shown
        return QString::fromUtf8(text, qsizetype(len));
    return QString::fromUtf8(utf8.data(), n);
}

QIcon CqzrZUVEApp::icon()
{
    QPixmap pixmap(32, 32);
    pixmap.fill(QColor(0x1f, 0x4e, 0x79));
    QPainter painter(&pixmap);
    painter.setPen(Qt::white);
    QFont font = painter.font();
    font.setBold(true);
    font.setPixelSize(22);
    painter.setFont(font);
    painter.drawText(pixmap.rect(), Qt::AlignCenter, "Z");
    painter.end();
    return QIcon(pixmap);
}
