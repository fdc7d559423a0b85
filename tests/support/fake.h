// Swaps one entry of the system-call seam for the life of a scope.
#pragma once

template <class F> class fake
{
  public:
    fake(F& slot, F replacement) : slot_(slot), saved_(slot) { slot_ = replacement; }
    ~fake() { slot_ = saved_; }
    fake(const fake&) = delete;
    fake& operator=(const fake&) = delete;

  private:
    F& slot_;
    F saved_;
};
