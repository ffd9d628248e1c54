// MuJoCo scenes from Python: the classes MujocoScene and SceneState, and what a servo does
// with a scene (its property `scene`, and the check of the scene's timestep at start()).
#pragma once

#include <ZelkorHardwareAPI/control/servo.h>
#include <pybind11/pybind11.h>

namespace Zelkor::HardwareAPI::Python {

/// Registers SceneState and MujocoScene.
void register_scene(pybind11::module_& m);

/// Servo.scene: the MujocoScene the servo steps, or None.
pybind11::object scene_of(const Control::Servo& servo);
/// Servo.scene = value: a MujocoScene or None (TypeError otherwise), set without the
/// interpreter lock while the loop lets go of the scene before; warns once per scene that is
/// stiffer than the servo renders stably, unless the servo has passivity.
void set_scene_of(Control::Servo& servo, pybind11::handle value);
/// Before start(): the servo's scene takes its model's timestep as it is now; ValueError, naming
/// it, when it does not divide the servo's period.
void check_scene_before_start(Control::Servo& servo);

}  // namespace Zelkor::HardwareAPI::Python
