// The monitor program: its start-up names (edition, bridge INI file, PLC
// and SECS sections, settings file) read from the program name and the
// command line, the settings file it reads and writes through the INI
// module, and the creation of the main frame.
//
// Options: +S name  settings file name (in the bridge INI file's directory)
//          +i file  bridge INI file          +p sect  PLC section
//          +s sect  SECS section
// Every other argument is skipped; an option without a value is ignored.
#pragma once
#include <QIcon>
#include <QString>
#include <cstdint>
#include <memory>

class CMainFrame;

class CqzrZUVEApp {
public:
    // Read the names from argv (argv[0] chooses the edition: "qzrSPLCE",
    // compared without extension and case, is the English one).
    CqzrZUVEApp(int argc, char** argv);
    ~CqzrZUVEApp();
    CqzrZUVEApp(const CqzrZUVEApp&) = delete;
    CqzrZUVEApp& operator=(const CqzrZUVEApp&) = delete;

    // Create and show the main frame; false when it cannot be built.
    bool InitInstance();
    CMainFrame* frame() const { return frame_.get(); }

    bool english() const { return english_; }
    const char* bridge_ini() const { return bridge_ini_; }
    const char* plc_section() const { return plc_section_; }
    const char* secs_section() const { return secs_section_; }
    const char* settings_file() const { return settings_file_; }

    // Settings file access: an integer (the default when the key is missing
    // or empty), a text, and writing either.
    int32_t profile_int(const char* section, const char* key, int32_t fallback) const;
    QString profile_string(const char* section, const char* key) const;
    bool write_profile_int(const char* section, const char* key, int32_t value) const;
    bool write_profile_string(const char* section, const char* key, const char* value) const;

    // A text of the process character code for the window.
    static QString process_text(const char* text);
    // The program icon.
    static QIcon icon();

private:
    bool english_ = false;
    char bridge_ini_[256] = "";
    char plc_section_[32] = "";
    char secs_section_[32] = "";
    char settings_name_[256] = "";
    char settings_file_[260] = "";
    std::unique_ptr<CMainFrame> frame_;
};
