// Creation and destruction of the per-instance record; the host owns it
// through the effect's instance data in between.
#include "Actions.h"
#include "Instance.h"
#include "Suites.h"

#include <memory>
#include <stdexcept>

namespace vl::ofx {
namespace {

OfxPropertySetHandle effectProps(OfxImageEffectHandle effect) {
  OfxPropertySetHandle p = nullptr;
  check(effects->getPropertySet(effect, &p));
  return p;
}

Instance& stored(OfxPropertySetHandle effect) {
  void* data = nullptr;
  check(props->propGetPointer(effect, "OfxPropInstanceData", 0, &data));
  if (data == nullptr) throw std::runtime_error("Missing OpenFX instance");
  return *static_cast<Instance*>(data);
}

}  // namespace

Instance& instance(OfxImageEffectHandle effect) { return stored(effectProps(effect)); }

OfxStatus createInstance(OfxImageEffectHandle effect) {
  auto record = std::make_unique<Instance>(effect);
  check(effects->getParamSet(effect, &record->paramSet));
  check(effects->clipGetHandle(effect, "Source", &record->sourceClip, nullptr));
  check(effects->clipGetHandle(effect, "Output", &record->outputClip, nullptr));
  // The first panel state is read at time zero, as a render there would see it.
  updateUI(*record, 0.0);
  OfxPropertySetHandle p = effectProps(effect);
  // Some hosts start an instance with their own view of these whatever the descriptor
  // said; a host that refuses the writes still gets one picture per frame from render.
  props->propSetInt(p, "OfxImageEffectPropSupportsTiles", 0, 0);
  props->propSetInt(p, "OfxImageEffectInstancePropSequentialRender", 0, 2);
  check(props->propSetPointer(p, "OfxPropInstanceData", 0, record.get()));
  record.release();
  return kOfxStatOK;
}

OfxStatus destroyInstance(OfxImageEffectHandle effect) {
  // The property set is fetched before the record goes, so no failure can leave
  // the host holding a pointer to freed memory.
  OfxPropertySetHandle p = effectProps(effect);
  delete &stored(p);  // joins the sender's worker
  props->propSetPointer(p, "OfxPropInstanceData", 0, nullptr);
  return kOfxStatOK;
}

OfxStatus instanceChanged(OfxImageEffectHandle effect, OfxPropertySetHandle inArgs) {
  changed(instance(effect), inArgs);
  return kOfxStatOK;
}

}  // namespace vl::ofx
