// Energy balance on the CPU: the radiant flux density each face of every primitive absorbs, by
// the shared reverse ray tracing of physics/energy_balance.h (sun, sky, one bounce of reflection
// in the short wave; sky and the surrounding surfaces' emission in the long wave).
#pragma once

#include "cpu/embree_scene.h"
#include "cpu/sim_common.h"
#include "sim/energy_balance_setup.h"

namespace velm::cpu {

// The primitives of the built scene in global order (instances in order, each one's triangles
// in order): 0 when not built.
uint64_t primitive_count(const embree::EmbreeSceneManager& scene);

// (top, bottom) per band and primitive in W m^-2 (band-major); the single-band call's short or
// long wave by req.band_type, the multiband call's short wave in req.n_bands bands. Primitive p
// draws from its own streams, so the result does not depend on the worker count.
// `hooks.progress` is called with (primitives done, primitives, elapsed milliseconds). Messages
// start with run_energy_balance_cpu or run_energy_balance_multiband_cpu.
EnergyBalanceOutput run_energy_balance(const embree::EmbreeSceneManager& scene,
                                       const EnergyBalanceRequest& req, bool multiband,
                                       const HostHooks& hooks);

}  // namespace velm::cpu
