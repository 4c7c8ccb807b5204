#pragma once
// Base of every service: built once, told to apply the current configuration
// on every revision, and stopped by destruction.

namespace fw::util {

class service_t {
public:
    virtual ~service_t() = default;
    // Applies the current contents of the configuration record; throws on failure.
    virtual void configure() {}
};

} // namespace fw::util
