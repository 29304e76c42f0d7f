/*
 * DbgRecorder.h - what the library sent to the debug service.
 *
 * Construction clears the stand-in's recorder and silences its standard
 * error output for the rest of the test program.  Prints() and Asserts()
 * return the events recorded since, in order.
 */
#ifndef KX_TEST_DBG_RECORDER_H
#define KX_TEST_DBG_RECORDER_H

#include <cstdint>
#include <string>
#include <vector>

struct DbgPrint {
    uint32_t level;
    std::string text;
};

struct DbgAssert {
    std::string cond;   /* condition text */
    std::string file;   /* source path */
    int line;           /* line of the check */
    bool hasDetail;     /* a detail text was passed */
    std::string detail; /* the detail text, "" when none */
};

class DbgRecorder {
  public:
    DbgRecorder();
    ~DbgRecorder() = default;
    DbgRecorder(const DbgRecorder &) = delete;
    DbgRecorder &operator=(const DbgRecorder &) = delete;

    void Clear();
    std::vector<DbgPrint> Prints() const;
    std::vector<DbgAssert> Asserts() const;
    /* Texts of the prints whose level equals level exactly. */
    std::vector<std::string> PrintsAt(uint32_t level) const;
};

#endif
