// What carrying out file changes has to tell the user while it works. The
// transaction prints nothing itself: the run's console implements this.
#pragma once

class ApplyReport {
  public:
    // A system call of `operation` ("rename", "copy", "symlink") failed with
    // `error`; told the way perror would tell it.
    virtual void systemError(const char* operation, int error) = 0;
    // Another block of a long copy is done (the console turns its spinner).
    virtual void copyProgress() = 0;

  protected:
    ~ApplyReport() = default;
};
