#include "app/driver.h"

#include <istream>
#include <ostream>
#include <string>

#include "app/console.h"
#include "app/readdata.h"
#include "center/findcenter.h"
#include "core/threads.h"
#include "properties/report.h"

namespace haloprof {

int run(run_state& data, const console& c) {
  data.rad = initial_search_radius;
  data.threads = usable_cores();
  stage_status result = readdata(data, c.in, c.out, c.err, c.err_is_terminal);
  if (result.ok()) {
    findcenter(data, c.out);
    std::function<void()> waiting;
    if (c.err_is_terminal)
      waiting = [&c] {
        print_line(c.err, std::string("waiting for another program to finish writing '") + report_file + "'");
      };
    result = findproperties(data, c.out, std::move(waiting));
  }
  c.out.flush();
  if (result.ok()) return static_cast<int>(exit_status::ok);
  print_line(c.err, result->message);
  return static_cast<int>(result->status);
}

}  // namespace haloprof
