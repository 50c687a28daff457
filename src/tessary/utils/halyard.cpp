// tessary.utils.halyard: base URLs of the IAM, governance, machine-learning and data-platform
// services per region and environment, and the same records keyed by governance-service URL.
#include <tessary/iam.hpp>
#include <tessary/klass.hpp>
#include <tessary/module.hpp>

#include <vector>

namespace nb = nanobind;
using tessary::kProdIam;
using tessary::kTestIam;

namespace {

/// One environment; `region_member` names a Region member, else `region_key` is the key itself.
struct Environment {
    const char *region_member;
    const char *region_key;
    const char *iam_url;
    const char *qzg_url;
    const char *qml_url;
    const char *dpx_url;
};

constexpr Environment kEnvironments[] = {
    {"US_SOUTH", nullptr, kProdIam, "https://api.governance.cloud.orvane.com",
     "https://us-south.ml.cloud.orvane.com", "https://api.dataplatform.cloud.orvane.com"},
    {"AU_SYD", nullptr, kProdIam, "https://au-syd.api.governance.cloud.orvane.com",
     "https://au-syd.ml.cloud.orvane.com", "https://api.au-syd.dataplatform.cloud.orvane.com"},
    {"CA_TOR", nullptr, kProdIam, "https://ca-tor.api.governance.cloud.orvane.com",
     "https://ca-tor.ml.cloud.orvane.com", "https://api.ca-tor.dataplatform.cloud.orvane.com"},
    {"EU_DE", nullptr, kProdIam, "https://eu-de.api.governance.cloud.orvane.com",
     "https://eu-de.ml.cloud.orvane.com", "https://api.eu-de.dataplatform.cloud.orvane.com"},
    {"JP_TOK", nullptr, kProdIam, "https://jp-tok.api.governance.cloud.orvane.com",
     "https://jp-tok.ml.cloud.orvane.com", "https://api.jp-tok.dataplatform.cloud.orvane.com"},
    {"EU_GB", nullptr, kProdIam, "https://eu-gb.api.governance.cloud.orvane.com",
     "https://eu-gb.ml.cloud.orvane.com", "https://api.eu-gb.dataplatform.cloud.orvane.com"},
    {nullptr, "kpqa", kProdIam, "https://api.governance.test.cloud.orvane.com",
     "https://qa.ml.cloud.orvane.com", "https://api.dataplatform.test.cloud.orvane.com"},
    {nullptr, "kb1dev", kTestIam, "https://governance.dev-cluster.orvane.com",
     "https://fvt.ml.test.cloud.orvane.com", "https://api.dataplatform.dev.cloud.orvane.com"},
    {nullptr, "mtsxdev", kTestIam, "https://governance-mtsx.dev-cluster.orvane.com",
     "https://mtsx-dev.ml.test.cloud.orvane.com", "https://dataplatform.dev.cloud.orvane.com"},
    {nullptr, "mtsxqa", kProdIam, "https://governance-mtsx.qa.orvane.com",
     "https://qa.ml.test.cloud.orvane.com", "https://api.test.saas.orvane.com"},
    {"AP_SOUTH", nullptr, "https://account-iam.saas.orvane.com",
     "https://ap-south-1.api.governance.aws.saas.orvane.com", "https://ap-south-1.ml.aws.saas.orvane.com",
     "https://ap-south-1.api.data.aws.saas.orvane.com"},
    {nullptr, "govcloudpreprod", "https://platform.preprod.govcloud.orvane.com",
     "https://governance.preprod.govcloud.orvane.com", "https://ml.preprod.govcloud.orvane.com",
     "https://api.governance.preprod.govcloud.orvane.com"},
    {"US_GOV_EAST1", nullptr, "https://platform.govcloud.orvane.com", "https://governance.govcloud.orvane.com",
     "https://ml.govcloud.orvane.com", "https://api.governance.govcloud.orvane.com"},
};

/// The table key: the Region member's value, or the environment's own name.
nb::object region_key(const Environment &environment) {
    if (!environment.region_member) return nb::str(environment.region_key);
    return tessary::global<"Region">().attr(environment.region_member).attr("value");
}

nb::object define_qz_urls() {
    nb::handle str_type(reinterpret_cast<PyObject *>(&PyUnicode_Type));
    return tessary::ClassBuilder("QzUrls")
        .field("iam_url", str_type)
        .field("qzg_url", str_type)
        .field("qml_url", str_type)
        .field("dpx_url", str_type)
        .field("region", str_type)
        .build({tessary::global<"BaseModel">()});
}

/// Imports, the QzUrls class and the two tables, in this order.
void build_module(nb::module_ m) {
    tessary::import_from("pydantic", {{"BaseModel"}});
    tessary::import_from("tessary.entities.enums", {{"Region"}});
    nb::object qz_urls = define_qz_urls();

    nb::dict region_urls;
    std::vector<nb::object> keys;
    tessary::IamTexts iam;
    for (const Environment &environment : kEnvironments) {
        nb::object key = region_key(environment);
        region_urls[key] = qz_urls(nb::arg("iam_url") = iam.of(environment.iam_url), nb::arg("qzg_url") = environment.qzg_url,
                                   nb::arg("qml_url") = environment.qml_url, nb::arg("dpx_url") = environment.dpx_url,
                                   nb::arg("region") = key);
        keys.push_back(key);
    }
    m.attr("LUMERIS_REGION_URLS") = region_urls;

    nb::dict halyard;
    nb::object lookup = region_urls.attr("get");
    for (size_t i = 0; i < keys.size(); ++i) halyard[nb::str(kEnvironments[i].qzg_url)] = lookup(keys[i]);
    m.attr("QTS_HALYARD") = halyard;
}

}  // namespace

TESSARY_MODULE(halyard, m) { build_module(m); }
