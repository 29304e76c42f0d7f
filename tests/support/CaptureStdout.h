/*
 * CaptureStdout.h - collects what the code under test writes to standard output: while an
 * object lives, fd 1 points at an unlinked temporary file opened for appending.  Text()
 * returns what was written so far; Stop() (or the destructor) restores standard output and
 * returns the whole capture.
 */
#ifndef KX_TEST_CAPTURE_STDOUT_H
#define KX_TEST_CAPTURE_STDOUT_H

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <unistd.h>

class CaptureStdout {
  public:
    CaptureStdout()
    {
        char path[] = "/tmp/kxcaptureXXXXXX";
        fflush(stdout);
        fd_ = mkstemp(path);
        unlink(path);
        fcntl(fd_, F_SETFL, fcntl(fd_, F_GETFL) | O_APPEND);
        saved_ = dup(STDOUT_FILENO);
        dup2(fd_, STDOUT_FILENO);
    }
    ~CaptureStdout() { Stop(); }
    CaptureStdout(const CaptureStdout &) = delete;
    CaptureStdout &operator=(const CaptureStdout &) = delete;

    std::string Text()
    {
        if (fd_ < 0)
            return final_;
        fflush(stdout);
        std::string text;
        char buf[4096];
        for (ssize_t n; (n = pread(fd_, buf, sizeof buf, static_cast<off_t>(text.size()))) > 0;)
            text.append(buf, static_cast<size_t>(n));
        return text;
    }
    std::string Stop()
    {
        if (fd_ >= 0) {
            final_ = Text();
            dup2(saved_, STDOUT_FILENO);
            close(saved_), close(fd_);
            fd_ = -1;
        }
        return final_;
    }

  private:
    int fd_ = -1, saved_ = -1; /* the temporary file fd 1 points at; the real standard output */
    std::string final_;        /* the capture once stopped */
};

#endif
