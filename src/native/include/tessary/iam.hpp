// The IAM services our region tables point at. The URL texts are shared str objects within a
// module (one object per URL, as a literal repeated in one Python module is one constant), so the
// tables of `tessary.utils.halyard` and `tessary.tools.utils.gantry` hold the same values alike.
#pragma once

#include <tessary/errors.hpp>

namespace tessary {

inline constexpr const char *kProdIam = "https://iam.cloud.orvane.com";
inline constexpr const char *kTestIam = "https://iam.test.cloud.orvane.com";

/// Hands out the str of an IAM URL: the two common services as one shared object each, any other
/// URL as a new str.
class IamTexts {
public:
    nb::str of(const char *url) const {
        if (url == kProdIam) return prod_;
        if (url == kTestIam) return test_;
        return nb::str(url);
    }

private:
    nb::str prod_{kProdIam};
    nb::str test_{kTestIam};
};

}  // namespace tessary
