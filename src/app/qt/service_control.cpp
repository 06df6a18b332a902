#include "app/qt/service_control.h"

#include "http/service.h"

namespace talvex {
namespace {

class RealHttpService final : public ServiceControl {
 public:
  int Start() override { return StartHttpService(); }
  void Stop() override { StopHttpService(); }
  bool ThreadExists() override { return HttpServiceThreadExists(); }
};

}  // namespace

ServiceControl& HttpService() {
  static RealHttpService service;
  return service;
}

}  // namespace talvex
