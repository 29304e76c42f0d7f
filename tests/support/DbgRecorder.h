/*
 * DbgRecorder.h - what the library sent to the debug service.  Construction clears the
 * stand-in's recorder and silences its standard error output for the rest of the program.
 */
#ifndef KX_TEST_DBG_RECORDER_H
#define KX_TEST_DBG_RECORDER_H

#include <cstdint>
#include <string>
#include <vector>

#include "qvStbDbgTest.h"

struct DbgAssert {
    std::string cond, file; /* condition text, source path */
    int line;               /* line of the check */
    bool hasDetail;         /* a detail text was passed */
    std::string detail;     /* the detail text, "" when none */
};

class DbgRecorder {
  public:
    DbgRecorder() { qvStbDbg_TestQuiet(1), Clear(); }
    void Clear() { qvStbDbg_TestClear(); }

    /* The failed checks reported since, in order. */
    std::vector<DbgAssert> Asserts() const
    {
        std::vector<DbgAssert> asserts;
        for (uint32_t i = 0; i < qvStbDbg_TestCount(); i++)
            if (const qvStbDbg_Event_t *p = qvStbDbg_TestEvent(i); p->kind == qvStbDbg_EventAssert)
                asserts.push_back({p->text, p->file, p->line, p->hasDetail != 0, p->detail});
        return asserts;
    }
};

#endif
