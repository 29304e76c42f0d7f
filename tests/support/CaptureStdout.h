/*
 * CaptureStdout.h - collects what the code under test writes to standard
 * output.  While an object lives, file descriptor 1 points at a temporary
 * file; Text() flushes and returns everything written so far, Stop() (or
 * the destructor) puts the real standard output back.
 *
 *   CaptureStdout out;
 *   kxMUtiCmd_ExecLine(nullptr, "echo hi");
 *   EXPECT_EQ(out.Text(), "hi\n");
 */
#ifndef KX_TEST_CAPTURE_STDOUT_H
#define KX_TEST_CAPTURE_STDOUT_H

#include <cstdio>
#include <string>

class CaptureStdout {
  public:
    CaptureStdout();
    ~CaptureStdout();
    CaptureStdout(const CaptureStdout &) = delete;
    CaptureStdout &operator=(const CaptureStdout &) = delete;

    /* Everything written since construction (or the last Clear). */
    std::string Text();
    /* Forgets what was captured so far; capture goes on. */
    void Clear();
    /* Restores standard output and returns the whole capture. */
    std::string Stop();

  private:
    int fileFd_ = -1;   /* the temporary file (append mode) fd 1 points at */
    int savedFd_ = -1;  /* the real standard output */
    std::string final_; /* the capture once stopped */
};

#endif
