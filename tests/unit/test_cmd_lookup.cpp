/* Registration of commands and the lookup of typed words. */
#include <cstring>

#include <gtest/gtest.h>

#include "DbgRecorder.h"
#include "FaultInjection.h"
#include "InterpFixture.h"
#include "kxMUtiCmd.h"

namespace {

using LookupTest = InterpTest;

struct LookupCase {
    const char *word;
    uint32_t kind;
    const char *found; /* name of the command found, null for none */
};

/* Looks each word up in pDefs and checks kind and command. */
void CheckLookups(kxMUtiCmd_Defs_t *pDefs, std::initializer_list<LookupCase> cases)
{
    for (const LookupCase &c : cases) {
        SCOPED_TRACE(std::string("word '") + c.word + "'");
        uint32_t kind = 99;
        kxMUtiCmd_Def_t *pDef = kxMUtiCmd_DefsLookup(pDefs, c.word, &kind);
        EXPECT_EQ(kind, c.kind);
        EXPECT_EQ(kxMUtiCmd_Match(pDefs, c.word), c.kind);
        if (c.found == nullptr) {
            EXPECT_EQ(pDef, nullptr);
            continue;
        }
        ASSERT_NE(pDef, nullptr) << "expected " << c.found;
        EXPECT_STREQ(pDef->pName, c.found);
    }
}

TEST_F(LookupTest, BuiltinWordsSelectByNameAliasPrefixAndFirstCharacter)
{
    CheckLookups(nullptr, {
                              {"help", kxMUtiCmd_MatchExact, "help"},
                              {"?", kxMUtiCmd_MatchAlias, "help"},
                              {"he", kxMUtiCmd_MatchPrefix, "help"},
                              {"q", kxMUtiCmd_MatchPrefix, "quit"},
                              {"s", kxMUtiCmd_MatchPrefix, "source"},
                              {"m", kxMUtiCmd_MatchPrefix, "msleep"},
                              {"a", kxMUtiCmd_MatchPrefix, "autosleep"},
                              {"v", kxMUtiCmd_MatchPrefix, "verbose"},
                              {"e", kxMUtiCmd_MatchPrefix, "echo"},
                              {"#", kxMUtiCmd_MatchExact, "#"},
                              {"#x", kxMUtiCmd_MatchExact, "#"},
                              {"#!", kxMUtiCmd_MatchExact, "#"},
                              {"x", kxMUtiCmd_MatchNone, nullptr},
                              {"helpme", kxMUtiCmd_MatchNone, nullptr},
                              {"Help", kxMUtiCmd_MatchNone, nullptr},
                              {"", kxMUtiCmd_MatchNone, nullptr},
                          });
}

TEST_F(LookupTest, NewCommandMakesSharedPrefixAmbiguous)
{
    AddRec("status", "");
    CheckLookups(nullptr, {
                              {"s", kxMUtiCmd_MatchNone, nullptr},
                              {"so", kxMUtiCmd_MatchPrefix, "source"},
                              {"st", kxMUtiCmd_MatchPrefix, "status"},
                          });
}

TEST_F(LookupTest, PrivateTableResolvesOnItsOwn)
{
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    CheckLookups(pDefs, {{"", kxMUtiCmd_MatchNone, nullptr}, {"l", kxMUtiCmd_MatchNone, nullptr}});
    AddRec("list", "", pDefs);
    CheckLookups(pDefs, {{"", kxMUtiCmd_MatchPrefix, "list"}});
    AddRec("load", "", pDefs);
    CheckLookups(pDefs, {
                            {"l", kxMUtiCmd_MatchNone, nullptr},
                            {"li", kxMUtiCmd_MatchPrefix, "list"},
                            {"lo", kxMUtiCmd_MatchPrefix, "load"},
                            {"help", kxMUtiCmd_MatchNone, nullptr},
                        });
}

TEST_F(LookupTest, AliasRulesAgainstPrefixAndEachOther)
{
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "read", "r", 0, "", 0, nullptr);
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "reset", nullptr, 0, "", 0, nullptr);
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "write", "wr", 0, "", 0, nullptr);
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "wrap", "wr", 0, "", 0, nullptr);
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "zap", "", 0, "", 0, nullptr);
    CheckLookups(pDefs, {
                            {"r", kxMUtiCmd_MatchAlias, "read"},  /* alias beats 2 prefixes */
                            {"wr", kxMUtiCmd_MatchNone, nullptr}, /* two aliases cancel out */
                            {"wri", kxMUtiCmd_MatchPrefix, "write"},
                            {"", kxMUtiCmd_MatchAlias, "zap"}, /* the empty alias */
                        });
}

TEST_F(LookupTest, FirstExactMatchInTableOrderWins)
{
    DbgRecorder dbg;
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    AddRec("xy", "", pDefs);
    kxMUtiCmd_Add(pDefs, Recorder::Handler, "x", nullptr, kxMUtiCmd_DefFlagFirstChar, "", 0,
                  nullptr);
    EXPECT_EQ(pDefs->nDefs, 2u);
    CheckLookups(pDefs, {
                            {"xy", kxMUtiCmd_MatchExact, "xy"}, /* earlier entry, by name */
                            {"xz", kxMUtiCmd_MatchExact, "x"},  /* by first character */
                            {"x", kxMUtiCmd_MatchExact, "x"},
                        });
    /* Once a first-character command exists, a new name it covers redefines it. */
    AddRec("xyz", "", pDefs);
    EXPECT_EQ(pDefs->nDefs, 2u);
}

TEST_F(LookupTest, RedefinitionKeepsPlaceAndReplacesEveryField)
{
    DbgRecorder dbg;
    kxMUtiCmd_Def_t *pHelp =
        static_cast<kxMUtiCmd_Def_t *>(gpkxMUtiCmd_DefsGlobal->pDefVec->pEntries[0]);
    kxMUtiCmd_Def_t *pDef =
        kxMUtiCmd_Add(nullptr, Recorder::Handler, "help", nullptr, 0, nullptr, 7, nullptr);
    EXPECT_EQ(pDef, pHelp);
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u);
    EXPECT_EQ(pDef->pAlias, nullptr) << "the old alias is gone";
    EXPECT_STREQ(pDef->invokeFormat, "") << "a null format becomes the empty format";
    EXPECT_EQ(pDef->pHelp, nullptr);
    EXPECT_EQ(pDef->userData, 7u);
    EXPECT_EQ(pDef->handler, &Recorder::Handler);
    EXPECT_EQ(dbg.PrintsAt(0x8100),
              std::vector<std::string>{"kxMUtiCmd_Add: existing command \"help\" redefined"});
    EXPECT_EQ(kxMUtiCmd_Match(nullptr, "?"), (uint32_t)kxMUtiCmd_MatchNone);
}

TEST_F(LookupTest, NameStartingWithCommentCharacterRedefinesTheCommentCommand)
{
    DbgRecorder dbg;
    kxMUtiCmd_Def_t *pDef = AddRec("#include", "%s");
    EXPECT_EQ(pDef, gpkxMUtiCmd_DefsGlobal->pDefVec->pEntries[7]);
    EXPECT_STREQ(pDef->pName, "#include");
    EXPECT_EQ(pDef->flags, 0u);
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 8u);
    EXPECT_EQ(dbg.PrintsAt(0x8100),
              std::vector<std::string>{"kxMUtiCmd_Add: existing command \"#include\" redefined"});
}

TEST_F(LookupTest, NameEqualToAnAliasWarnsOncePerClashAndTakesOver)
{
    DbgRecorder dbg;
    kxMUtiCmd_Add(nullptr, Recorder::Handler, "dump", "d", 0, "", 0, nullptr);
    kxMUtiCmd_Add(nullptr, Recorder::Handler, "display", "d", 0, "", 0, nullptr);
    dbg.Clear();
    kxMUtiCmd_Def_t *pQ = AddRec("?", "");
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 11u);
    kxMUtiCmd_Def_t *pD = AddRec("d", "");
    EXPECT_EQ(gpkxMUtiCmd_DefsGlobal->nDefs, 12u);
    EXPECT_EQ(dbg.PrintsAt(0x8100),
              (std::vector<std::string>{
                  "kxMUtiCmd_Add: new command \"?\" has same alias \"?\" as existing command "
                  "\"help\"",
                  "kxMUtiCmd_Add: new command \"d\" has same alias \"d\" as existing command "
                  "\"dump\"",
                  "kxMUtiCmd_Add: new command \"d\" has same alias \"d\" as existing command "
                  "\"display\"",
              }));
    uint32_t kind;
    EXPECT_EQ(kxMUtiCmd_DefsLookup(nullptr, "?", &kind), pQ);
    EXPECT_EQ(kind, (uint32_t)kxMUtiCmd_MatchExact);
    EXPECT_EQ(kxMUtiCmd_DefsLookup(nullptr, "d", &kind), pD);
}

TEST_F(LookupTest, WarningsPrintWhateverTheGlobalSettings)
{
    DbgRecorder dbg;
    *qvStbDbg_DbgUnit() = 0;
    *gkxMUtiCmd_DbgUnit = 0x8000; /* as start-up leaves it */
    AddRec("quit", "");
    EXPECT_EQ(dbg.PrintsAt(0x8100).size(), 1u);
    *gkxMUtiCmd_DbgUnit = 0;
    AddRec("quit", "");
    EXPECT_EQ(dbg.PrintsAt(0x8100).size(), 1u) << "both flag words off: not printed";
}

TEST_F(LookupTest, FailedRegistrationLeavesTheTableConsistent)
{
    DbgRecorder dbg;
    kxMUtiCmd_Defs_t *pDefs = kxMUtiCmd_DefsNew();
    static char names[10][8]; /* the table keeps the pointers */
    for (int i = 0; i < 10; i++) { /* a full vector: the next add must grow it */
        snprintf(names[i], sizeof(names[i]), "c%d", i);
        kxMUtiCmd_Add(pDefs, Recorder::Handler, names[i], nullptr, 0, "", 0, nullptr);
    }
    unsigned runs = ForEachAllocFailure([&] {
        const uint32_t before = pDefs->nDefs;
        kxMUtiCmd_Def_t *pDef = AddRec("newcmd", "", pDefs);
        EXPECT_EQ(pDefs->nDefs, pDefs->pDefVec->used);
        if (pDef == nullptr) {
            EXPECT_GT(MUti_FaultInjected(), 0u);
            EXPECT_EQ(pDefs->nDefs, before);
            EXPECT_EQ(kxMUtiCmd_Match(pDefs, "newcmd"), (uint32_t)kxMUtiCmd_MatchNone);
        } else {
            EXPECT_EQ(pDefs->nDefs, before + 1);
        }
    });
    EXPECT_EQ(runs, 3u); /* the definition, then the vector's growth */
    auto asserts = dbg.Asserts();
    ASSERT_GE(asserts.size(), 1u);
    EXPECT_EQ(asserts[0].cond, "pCmdDef != Null");
    EXPECT_EQ(asserts[0].file, "comps/kxMUti/src/kxMUtiCmd");
    EXPECT_EQ(asserts[0].line, 412);
    EXPECT_FALSE(asserts[0].hasDetail);
}

} // namespace
