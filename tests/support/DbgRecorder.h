/*
 * DbgRecorder.h - what the library sent to the debug service.
 *
 * Construction clears the stand-in's recorder and silences its standard
 * error output for the rest of the test program; PrintsAt() and Asserts()
 * return the events recorded since, in order.
 */
#ifndef KX_TEST_DBG_RECORDER_H
#define KX_TEST_DBG_RECORDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "qvStbDbgTest.h"

struct DbgAssert {
    std::string cond;   /* condition text */
    std::string file;   /* source path */
    int line;           /* line of the check */
    bool hasDetail;     /* a detail text was passed */
    std::string detail; /* the detail text, "" when none */
};

class DbgRecorder {
  public:
    DbgRecorder()
    {
        qvStbDbg_TestQuiet(1);
        Clear();
    }
    void Clear() { qvStbDbg_TestClear(); }

    /* Texts of the prints whose level mask is exactly level. */
    std::vector<std::string> PrintsAt(uint32_t level) const
    {
        std::vector<std::string> texts;
        for (const qvStbDbg_Event_t *p : Events(qvStbDbg_EventPrint))
            if (p->level == level)
                texts.emplace_back(p->text);
        return texts;
    }

    std::vector<DbgAssert> Asserts() const
    {
        std::vector<DbgAssert> asserts;
        for (const qvStbDbg_Event_t *p : Events(qvStbDbg_EventAssert))
            asserts.push_back({p->text, p->file, p->line, p->hasDetail != 0, p->detail});
        return asserts;
    }

  private:
    static std::vector<const qvStbDbg_Event_t *> Events(int kind)
    {
        std::vector<const qvStbDbg_Event_t *> events;
        for (uint32_t i = 0; i < qvStbDbg_TestCount(); i++)
            if (qvStbDbg_TestEvent(i)->kind == kind)
                events.push_back(qvStbDbg_TestEvent(i));
        return events;
    }
};

#endif
