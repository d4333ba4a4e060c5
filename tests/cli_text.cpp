// modcfg's messages are looked up in the "modcfg-cli" domain: a catalogue
// installed beside the program (../share/locale) translates them, and
// without one they stay English byte for byte.
#include "child_program.h"
#include "temp_dir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace
{

// The environment of one run; the test's own is put back afterwards.
class scoped_env
{
  public:
    scoped_env(const char *name, const char *value) : name_(name)
    {
        if (const char *old = std::getenv(name))
            old_ = old, had_ = true;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~scoped_env()
    {
        if (had_)
            setenv(name_.c_str(), old_.c_str(), 1);
        else
            unsetenv(name_.c_str());
    }

  private:
    std::string name_, old_;
    bool had_ = false;
};

// Standard error of `program` for a usage error: a module time-out of 0 is
// refused before any port is touched.
std::string usage_error_of(const std::string &program, const char *language)
{
    // Not "C": gettext ignores LANGUAGE there.
    scoped_env all("LC_ALL", "C.UTF-8");
    scoped_env lang("LANGUAGE", language);
    child_program p(program, {"read", "--port", "/dev/null", "--module-timeout", "0"});
    EXPECT_TRUE(p.started());
    EXPECT_EQ(p.wait_exit(60000), 2);
    return p.errors();
}

TEST(cli_text, catalogue_beside_the_program_translates_usage_errors)
{
    temp_cwd dir;
    // An installed tree in miniature: bin/modcfg and share/locale.
    ASSERT_EQ(mkdir("bin", 0755), 0);
    write_file("bin/modcfg", read_file(MODCFG_CLI_BIN));
    ASSERT_EQ(chmod("bin/modcfg", 0755), 0);
    const std::string program = dir.path() + "/bin/modcfg";
    const std::string english =
        "modcfg: --module-timeout wants seconds, at least 1 (see \"modcfg read --help\")\n";

    // No catalogue yet: English, whatever the language asked for.
    EXPECT_EQ(usage_error_of(program, "de"), english);

    // The wrapper's parts swap places, as a translator may reorder them.
    write_file("de.po", "msgid \"\"\n"
                        "msgstr \"Project-Id-Version: modcfg\\n\"\n"
                        "\"PO-Revision-Date: 2026-12-07 19:00+0000\\n\"\n"
                        "\"Last-Translator: modcfg developers <modcfg@example.org>\\n\"\n"
                        "\"Language-Team: German\\n\"\n"
                        "\"Language: de\\n\"\n"
                        "\"MIME-Version: 1.0\\n\"\n"
                        "\"Content-Type: text/plain; charset=UTF-8\\n\"\n"
                        "\"Content-Transfer-Encoding: 8bit\\n\"\n\n"
                        "msgid \"--module-timeout wants seconds, at least 1\"\n"
                        "msgstr \"--module-timeout will Sekunden, mindestens 1\"\n\n"
                        "msgid \"%s (see \\\"modcfg %s--help\\\")\"\n"
                        "msgstr \"[modcfg %2$s--help] %1$s\"\n");
    ASSERT_EQ(std::system("mkdir -p share/locale/de/LC_MESSAGES && msgfmt --check -o "
                          "share/locale/de/LC_MESSAGES/modcfg-cli.mo de.po"),
              0);
    EXPECT_EQ(usage_error_of(program, "de"),
              "modcfg: [modcfg read --help] --module-timeout will Sekunden, mindestens 1\n");
    // Another language, or none asked for: English as before.
    EXPECT_EQ(usage_error_of(program, "fr"), english);
    EXPECT_EQ(usage_error_of(program, nullptr), english);
}

} // namespace
