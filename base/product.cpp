#include "base/product.h"

namespace torvo::Product {

const std::string& signedClientRequirement() {
  static const std::string text = "anchor apple generic and identifier \"" +
                                  std::string(appBundleID) +
                                  "\" and certificate leaf[subject.OU] = \"" +
                                  std::string(teamID) + "\"";
  return text;
}

const std::string& devClientRequirement() {
  static const std::string text = "identifier \"" + std::string(appBundleID) + "\"";
  return text;
}

}  // namespace torvo::Product
