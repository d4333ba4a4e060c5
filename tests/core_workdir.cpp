// The working directory of an installed window: where it is, what a first
// start puts in it, what a later start leaves alone, and where the
// installed logo is found.
#include "temp_dir.h"
#include "workdir.h"

#include <cstdlib>
#include <gtest/gtest.h>
#include <string>
#include <sys/stat.h>

namespace
{

struct default_case {
    const char *what;
    const char *xdg_data_home; // nullptr: unset
    const char *expected;
};

TEST(WorkdirDefault, FollowsXdgDataHomeOnlyWhenAbsolute)
{
    const char *old_home = std::getenv("HOME");
    const std::string saved_home = old_home ? old_home : "";
    ASSERT_EQ(setenv("HOME", "/home/op", 1), 0);
    const default_case cases[] = {
        {"unset", nullptr, "/home/op/.local/share/modcfg"},
        {"empty", "", "/home/op/.local/share/modcfg"},
        {"relative is invalid", "data", "/home/op/.local/share/modcfg"},
        {"absolute", "/srv/op-data", "/srv/op-data/modcfg"},
    };
    for (const auto &c : cases) {
        if (c.xdg_data_home)
            setenv("XDG_DATA_HOME", c.xdg_data_home, 1);
        else
            unsetenv("XDG_DATA_HOME");
        EXPECT_EQ(workdir_default(), c.expected) << c.what;
    }
    unsetenv("XDG_DATA_HOME");
    setenv("HOME", saved_home.c_str(), 1);
}

TEST(WorkdirPrepare, FirstStartMakesTheTreeLaterStartsKeepWhatIsThere)
{
    temp_cwd tmp;
    const std::string logo = tmp.path() + "/installed-pic";
    write_file(logo, std::string("\x89PNG\r\n\x1a\n\0logo", 13));
    const std::string dir = tmp.path() + "/home/.local/share/modcfg";

    ASSERT_EQ(workdir_prepare(dir, logo), "");
    struct stat st;
    ASSERT_EQ(stat((dir + "/data").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u) << "per-user data stays private";
    EXPECT_EQ(read_file(dir + "/pic"), read_file(logo)) << "copied byte for byte";

    // The user's own logo, settings and command files survive a restart,
    // even when the installed logo changed in an upgrade.
    write_file(dir + "/pic", "own logo");
    write_file(dir + "/set_para.txt", "1 mine.txt");
    write_file(dir + "/data/mine.txt", "AT+WMODE=STA\r\n");
    write_file(logo, "upgraded logo");
    ASSERT_EQ(workdir_prepare(dir, logo), "");
    EXPECT_EQ(read_file(dir + "/pic"), "own logo");
    EXPECT_EQ(read_file(dir + "/set_para.txt"), "1 mine.txt");
    EXPECT_EQ(read_file(dir + "/data/mine.txt"), "AT+WMODE=STA\r\n");
}

TEST(WorkdirPrepare, NoLogoStillGivesAWorkingDirectoryAndABadPathIsRefused)
{
    temp_cwd tmp;
    for (const std::string &logo : {std::string(), tmp.path() + "/no-such-pic"}) {
        const std::string dir = tmp.path() + "/wd" + std::to_string(logo.size());
        EXPECT_EQ(workdir_prepare(dir, logo), "") << logo;
        EXPECT_TRUE(file_exists(dir + "/data")) << logo;
        EXPECT_FALSE(file_exists(dir + "/pic")) << logo;
    }
    write_file("plain", "x");
    const std::string why = workdir_prepare(tmp.path() + "/plain/wd", "");
    EXPECT_NE(why.find("plain"), std::string::npos) << why;
    EXPECT_EQ(workdir_prepare("", ""), "no directory given");
}

TEST(WorkdirLogo, InstalledDataBeforeTheBuildTreesPicture)
{
    temp_cwd tmp;
    const std::string root = tmp.path();
    ASSERT_EQ(system(("mkdir -p " + root + "/usr/bin " + root + "/usr/share/modcfg").c_str()), 0);
    EXPECT_EQ(workdir_logo_for(root + "/usr/bin/modcfg_com"), "") << "nothing installed";
    write_file(root + "/usr/bin/pic", "beside");
    EXPECT_EQ(workdir_logo_for(root + "/usr/bin/modcfg_com"), root + "/usr/bin/pic");
    write_file(root + "/usr/share/modcfg/pic", "installed");
    EXPECT_EQ(read_file(workdir_logo_for(root + "/usr/bin/modcfg_com")), "installed");
}

// Typed in a shell in some directory: the window says where command files
// go, once, unless the directory looks like a working directory.
TEST(WorkdirStartNote, SaysWhereCommandFilesGoOutsideAWorkingDirectory)
{
    temp_cwd tmp;
    const std::string d = tmp.path();
    const std::string per_user = "/home/op/.local/share/modcfg";
    EXPECT_EQ(workdir_start_note(d, per_user),
              "Command files are saved in " + d +
                  "/data/, which does not exist yet: Save needs it (mkdir data); --workdir "
                  "keeps them in /home/op/.local/share/modcfg/data/ instead.");
    ASSERT_EQ(mkdir("data", 0700), 0);
    EXPECT_EQ(workdir_start_note(d, per_user), "Command files are saved in " + d +
                                                   "/data/; --workdir keeps them in " + per_user +
                                                   "/data/ instead.");
    write_file("pic", "logo");
    EXPECT_EQ(workdir_start_note(d, per_user), "");
}

} // namespace
