// The message catalogues against the current sources: a template is extracted afresh with
// tools/update-po.sh, and every catalogue must translate each of its texts, with nothing
// fuzzy and every format directive and mnemonic intact. The same holds for the user manual's
// catalogues against its pages.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <glib.h>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>

#include "settings_test.h"

using namespace settings_test;
namespace fs = std::filesystem;

namespace {

struct run_result {
    int status = -1;
    std::string output;
};

run_result run(std::vector<std::string> args)
{
    std::vector<char *> argv;
    for (auto &a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    run_result r;
    gchar *out = nullptr, *err = nullptr;
    gint wait_status = 0;
    GError *error = nullptr;
    if (!g_spawn_sync(source_root().c_str(), argv.data(), nullptr, G_SPAWN_SEARCH_PATH, nullptr, nullptr, &out,
                      &err, &wait_status, &error)) {
        r.output = error->message;
        g_error_free(error);
        return r;
    }
    r.status = WIFEXITED(wait_status) ? WEXITSTATUS(wait_status) : -1;
    r.output = std::string(out) + err;
    g_free(out);
    g_free(err);
    return r;
}

std::vector<std::string> list_file(const std::string &path)
{
    std::vector<std::string> items;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        for (std::string w; words >> w;)
            items.push_back(w);
    }
    return items;
}

std::vector<std::string> languages() { return list_file(source_root() + "/po/LINGUAS"); }

// Empty when `po` is complete for `pot`; otherwise what the gettext tools said.
std::string catalogue_problems(const std::string &po, const std::string &pot, const std::string &work)
{
    std::string problems;
    // Every text of the template present, translated and not fuzzy.
    run_result cmp = run({"msgcmp", po, pot});
    if (cmp.status != 0)
        problems += cmp.output;
    // Format directives and mnemonics, checked with the flags of the fresh template.
    const std::string merged = work + "/merged.po";
    run_result merge = run({"msgmerge", "--quiet", "--no-fuzzy-matching", "--output-file=" + merged, po, pot});
    if (merge.status != 0)
        return problems + merge.output;
    run_result check = run({"msgfmt", "--check", "--check-accelerators=_", "--statistics", "--output-file=/dev/null",
                            merged});
    if (check.status != 0 || check.output.find("fuzzy") != std::string::npos ||
        check.output.find("untranslated") != std::string::npos)
        problems += check.output;
    return problems;
}

class Catalogues : public ::testing::Test {
protected:
    temp_dir tmp;
    std::string pot = tmp / "zevrin.pot";

    void SetUp() override
    {
        run_result r = run({"sh", source_root() + "/tools/update-po.sh", "--pot", pot});
        ASSERT_EQ(r.status, 0) << r.output;
        ASSERT_TRUE(fs::exists(pot));
    }
};

TEST_F(Catalogues, EveryLanguageTranslatesEveryTextOfTheCurrentSources)
{
    ASSERT_EQ(languages(), (std::vector<std::string>{"es", "fr", "it", "pt", "ca", "eu"}));
    for (const std::string &lang : languages())
        EXPECT_EQ(catalogue_problems(source_root() + "/po/" + lang + ".po", pot, tmp.path), "") << lang;
}

// The user manual's catalogues (help/LANG/LANG.po) against a template extracted afresh from
// every page of help/C: the manual is offered in the program's languages, each complete.
TEST_F(Catalogues, TheManualIsCompleteInEveryLanguage)
{
    const std::string help = source_root() + "/help";
    EXPECT_EQ(list_file(help + "/LINGUAS"), languages());

    std::vector<std::string> extract = {"itstool", "-o", tmp / "manual.pot"};
    for (const auto &entry : fs::directory_iterator(help + "/C"))
        if (entry.path().extension() == ".page")
            extract.push_back(entry.path());
    ASSERT_GT(extract.size(), 3u + 10u) << "the manual has fewer pages than expected";
    const run_result r = run(extract);
    ASSERT_EQ(r.status, 0) << r.output;
    for (const std::string &lang : list_file(help + "/LINGUAS"))
        EXPECT_EQ(catalogue_problems(help + "/" + lang + "/" + lang + ".po", tmp / "manual.pot", tmp.path), "") << lang;
}

// Each fault that the check exists for, made in a copy of a real catalogue.
TEST_F(Catalogues, CheckFindsMissingUntranslatedFuzzyAndBrokenTexts)
{
    const std::string original = read_file(source_root() + "/po/es.po");
    const std::string copy = tmp / "es.po";
    auto problems_after = [&](const std::regex &what, const std::string &with) {
        std::string changed = std::regex_replace(original, what, with, std::regex_constants::format_first_only);
        EXPECT_NE(changed, original) << "the catalogue has nothing to change for this case";
        write_file(copy, changed);
        return catalogue_problems(copy, pot, tmp.path);
    };
    write_file(copy, original);
    ASSERT_EQ(catalogue_problems(copy, pot, tmp.path), "");

    // A text of the sources that the catalogue lacks.
    EXPECT_NE(problems_after(std::regex("\nmsgid \"Language\"\nmsgstr \"[^\"]*\"\n"), "\n"), "");
    // Present but untranslated.
    EXPECT_NE(problems_after(std::regex("(\nmsgid \"Language\"\nmsgstr )\"[^\"]*\""), "$1\"\""), "");
    // Fuzzy.
    EXPECT_NE(problems_after(std::regex("(\n)(msgid \"Language\")"), "$1#, fuzzy\n$2"), "");
    // A format directive changed or lost.
    EXPECT_NE(problems_after(std::regex("(msgstr \"\"\n\"[^\"]*)%s"), "$1%d"), "");
    EXPECT_NE(problems_after(std::regex("(msgstr \"\"\n\"[^\"]*)%s"), "$1"), "");
    // A mnemonic lost.
    EXPECT_NE(problems_after(std::regex("msgstr \"_Archivo\""), "msgstr \"Archivo\""), "");
}

// A new source file with texts must be listed, or its texts never reach the template.
TEST(Potfiles, ListsEverySourceWithTranslatableTexts)
{
    const std::vector<std::string> listed = list_file(source_root() + "/po/POTFILES");
    std::set<std::string> listed_set(listed.begin(), listed.end());
    for (const std::string &f : listed)
        EXPECT_TRUE(fs::is_regular_file(source_root() + "/" + f)) << f << " is listed but missing";

    const std::regex code_text(R"((^|[^A-Za-z0-9_])(_|N_|C_|NC_)\(\s*")");
    const std::regex glade_text(R"(translatable="yes")");
    int sources = 0;
    for (const char *dir : {"app", "device", "window", "single", "hid", "data/interface"}) {
        for (const auto &entry : fs::recursive_directory_iterator(source_root() + "/" + dir)) {
            const std::string ext = entry.path().extension();
            const bool code = ext == ".cpp" || ext == ".h";
            if (!code && ext != ".glade" && ext != ".ui")
                continue;
            sources++;
            const std::string text = read_file(entry.path());
            if (std::regex_search(text, code ? code_text : glade_text)) {
                const std::string relative = fs::relative(entry.path(), source_root());
                EXPECT_TRUE(listed_set.count(relative)) << relative << " has translatable texts but is not in po/POTFILES";
            }
        }
    }
    EXPECT_GT(sources, 10);
}

// xgettext passes on only comments that start with exactly "TRANSLATORS:".
TEST(Potfiles, TranslatorCommentsUseTheTagThatIsExtracted)
{
    const std::regex other_spelling(R"(//\s*(?!TRANSLATORS:)[Tt][Rr][Aa][Nn][Ss][Ll][Aa][Tt][Oo][Rr][Ss]?\s*:)");
    for (const std::string &f : list_file(source_root() + "/po/POTFILES")) {
        std::smatch m;
        const std::string text = read_file(source_root() + "/" + f);
        EXPECT_FALSE(std::regex_search(text, m, other_spelling))
            << f << ": \"" << m.str() << "\" does not reach the translators; write TRANSLATORS:";
    }
}

// Installed under the data directory's locale folder, and copied into the build directory's
// locale folder for a run from there.
TEST(CompiledCatalogues, InstalledUnderTheDataDirectoryAndPresentInTheBuildTree)
{
    const std::string installed = read_file(build_root() + "/meson-info/intro-installed.json");
    for (const std::string &lang : languages()) {
        const std::string in_build_tree = build_root() + "/locale/" + lang + "/LC_MESSAGES/zevrin.mo";
        ASSERT_TRUE(fs::is_regular_file(in_build_tree)) << in_build_tree;
        std::smatch m;
        const std::regex rule("\"([^\"]+)\": \"([^\"]*/share/zevrin/locale/" + lang + "/LC_MESSAGES/zevrin\\.mo)\"");
        ASSERT_TRUE(std::regex_search(installed, m, rule)) << "no install rule for " << lang;
        EXPECT_EQ(read_file(m[1]), read_file(in_build_tree)) << lang;
    }
}

}  // namespace
