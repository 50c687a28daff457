// tessary.tools.utils.gantry: the accepted data-platform API URLs and the IAM service of each.
#include <tessary/iam.hpp>
#include <tessary/module.hpp>

namespace nb = nanobind;
using tessary::kProdIam;
using tessary::kTestIam;

namespace {

struct PlatformEntry {
    const char *platform_url;
    const char *iam_url;
};

// Production platforms, in the order callers list them.
constexpr PlatformEntry kProd[] = {
    {"https://api.au-syd.dataplatform.cloud.orvane.com", kProdIam},
    {"https://api.ca-tor.dataplatform.cloud.orvane.com", kProdIam},
    {"https://api.eu-de.dataplatform.cloud.orvane.com", kProdIam},
    {"https://api.dataplatform.cloud.orvane.com", kProdIam},
    {"https://api.jp-tok.dataplatform.cloud.orvane.com", kProdIam},
    {"https://api.eu-gb.dataplatform.cloud.orvane.com", kProdIam},
};

// Test and development platforms.
constexpr PlatformEntry kNonProd[] = {
    {"https://api.dataplatform.test.cloud.orvane.com", kProdIam},
    {"https://api.test.saas.orvane.com", kProdIam},
    {"https://api.dataplatform.dev.cloud.orvane.com", kTestIam},
    {"https://api.dev.saas.orvane.com", kTestIam},
};

/// Builds a dict from a table; the IAM value strings are shared like a literal would be.
template <size_t N>
nb::dict make_table(const PlatformEntry (&entries)[N], const tessary::IamTexts &iam) {
    nb::dict table;
    for (const PlatformEntry &entry : entries) table[nb::str(entry.platform_url)] = iam.of(entry.iam_url);
    return table;
}

}  // namespace

TESSARY_MODULE(gantry, m) {
    tessary::IamTexts iam;
    nb::dict prod = make_table(kProd, iam);
    nb::dict non_prod = make_table(kNonProd, iam);
    nb::dict allowed;
    allowed.update(prod);
    allowed.update(non_prod);
    m.attr("PROD_PLATFORM_URL") = prod;
    m.attr("NON_PROD_PLATFORM_URL") = non_prod;
    m.attr("ALLOWED_PLATFORM_URL") = allowed;
}
