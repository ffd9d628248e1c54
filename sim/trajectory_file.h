// Recorded trajectories for the simulated hand, from CSV or numpy's .npz files. Read whole
// before the simulator starts serving; nothing here runs while it serves.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "hand.h"

namespace Zelkor::Sim {

/// The trajectory in the file at `path`: an .npz archive when the file starts as a zip archive
/// does, CSV otherwise. Nothing on failure, with the reason in `error` (a missing or
/// unreadable file, or what the parsers below say).
std::optional<Trajectory> read_trajectory(const std::string& path, std::string& error);

/// CSV: a header line naming the columns, then one line of numbers per sample. The time is
/// the column `time` (s); the position the columns `x`, `y`, `z` or, as a recording names
/// them, `position_x`, `position_y`, `position_z` (m). Other columns are ignored, and so are
/// lines starting with '#' before the header and blank lines. The errors name the line.
std::optional<Trajectory> parse_trajectory_csv(std::string_view text, std::string& error);

/// A zip archive of .npy arrays as numpy.savez writes it: `time` of shape (N,) and `position`
/// of shape (N, 3), floating-point or integer, either byte order, C or Fortran order. Only
/// stored members are read: a compressed one (numpy.savez_compressed) is refused with a
/// message saying so. Each member's checksum is verified.
std::optional<Trajectory> parse_trajectory_npz(std::string_view bytes, std::string& error);

/// Files larger than this are refused before they are read, bytes.
inline constexpr std::size_t max_trajectory_file = std::size_t{256} << 20;

}  // namespace Zelkor::Sim
