#include "app/driver.h"

#include <istream>
#include <ostream>

#include "app/console.h"
#include "center/findcenter.h"
#include "core/threads.h"
#include "input/readdata.h"
#include "properties/report.h"

namespace haloprof {

int run(run_state& data, std::istream& in, std::ostream& out, std::ostream& err) {
  // The single-precision 0.05 widened, 0.05000000074505806, not the double nearest 0.05.
  data.rad = 0.05f;
  data.threads = usable_cores();
  stage_status result = readdata(data, in, out);
  if (result.ok()) {
    findcenter(data, out);
    result = findproperties(data, out);
  }
  out.flush();
  if (result.ok()) return static_cast<int>(exit_status::ok);
  print_line(err, result->message);
  return static_cast<int>(result->status);
}

}  // namespace haloprof
