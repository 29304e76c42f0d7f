/*
 * InterpFixture.h - a freshly started interpreter for every test.
 *
 * The interpreter has no shut-down, so each SetUp sets the defaults back,
 * parks the previous global table and context (kept reachable, since
 * records are never freed) and starts afresh, as a first start-up would.
 * Recorder records the ten words every call of its handler received.
 */
#ifndef KX_TEST_INTERP_FIXTURE_H
#define KX_TEST_INTERP_FIXTURE_H

#include <array>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kxMUtiCmd.h"

using Slots = std::array<kxWord_t, 10>;

/* Calls of the recording handler, oldest first. */
struct Recorder {
    static std::vector<Slots> calls;
    static uint32_t status; /* what the handler returns */
    static uint32_t Handler(kxWord_t a0, kxWord_t a1, kxWord_t a2, kxWord_t a3, kxWord_t a4,
                            kxWord_t a5, kxWord_t a6, kxWord_t a7, kxWord_t a8, kxWord_t a9);
    static void Reset()
    {
        calls.clear();
        status = 0x1234;
    }
};

class InterpTest : public ::testing::Test {
  protected:
    void SetUp() override;

    /* Moves the global table and context aside (kept reachable) and nulls them. */
    static void ParkGlobals();

    /* Registers the recording handler as name with the given format. */
    static kxMUtiCmd_Def_t *AddRec(const char *pName, const char *pFormat,
                                   kxMUtiCmd_Defs_t *pDefs = nullptr, kxWord_t userData = 0);
    /* The word at slot i of the last call, as text. */
    static std::string SlotText(size_t call, size_t i);
};

/* Text of a word given as a machine word. */
inline const char *AsText(kxWord_t w)
{
    return reinterpret_cast<const char *>(w);
}

#endif
