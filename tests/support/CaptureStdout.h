/*
 * CaptureStdout.h - collects what the code under test writes to standard
 * output.  While an object lives, file descriptor 1 points at an unlinked
 * temporary file opened for appending (so writes land at its end whatever
 * the offset); Text() flushes and returns everything written so far,
 * Clear() forgets it, Stop() (or the destructor) restores standard output
 * and returns the whole capture.
 */
#ifndef KX_TEST_CAPTURE_STDOUT_H
#define KX_TEST_CAPTURE_STDOUT_H

#include <cstdio>
#include <string>

#include <fcntl.h>
#include <sys/stat.h>
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
        struct stat st;
        fstat(fd_, &st);
        std::string text(static_cast<size_t>(st.st_size), '\0');
        const ssize_t n = pread(fd_, text.data(), text.size(), 0);
        text.resize(n > 0 ? static_cast<size_t>(n) : 0);
        return text;
    }
    void Clear()
    {
        fflush(stdout);
        if (fd_ >= 0 && ftruncate(fd_, 0) != 0)
            perror("CaptureStdout");
    }
    std::string Stop()
    {
        if (fd_ < 0)
            return final_;
        final_ = Text();
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        close(fd_);
        fd_ = -1;
        return final_;
    }

  private:
    int fd_ = -1;       /* the temporary file fd 1 points at */
    int saved_ = -1;    /* the real standard output */
    std::string final_; /* the capture once stopped */
};

#endif
