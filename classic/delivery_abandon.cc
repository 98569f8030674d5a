#include "classic/delivery_abandon.h"

#include "platform/event.h"
#include "platform/no_destructor.h"

namespace histfeed::classic {
namespace {

// Never destroyed: the unloading hook uses it while the library's static
// objects are being torn down.
platform::Event& AbandonMark() {
  static platform::NoDestructor<platform::Event> mark;
  return *mark;
}

}  // namespace

void AbandonDeliveries(bool abandon) {
  if (abandon) {
    AbandonMark().Set();
  } else {
    AbandonMark().Reset();
  }
}

bool DeliveriesAbandoned() { return AbandonMark().IsSet(); }

void PauseDelivery(int64_t ms) { AbandonMark().Wait(ms); }

}  // namespace histfeed::classic
