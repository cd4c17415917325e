// The one exception type of the mail library; its message is the library's fixed error text.
#pragma once

#include <stdexcept>
#include <string>

namespace droprelay {

class EMailError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace droprelay
