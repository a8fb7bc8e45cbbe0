// The space-ordered tree the neighbour searches run on: the points sorted along a Morton
// curve through their bounding cube, and a binary tree over that order whose nodes split at
// one bit of the curve's key (a cell halved along one axis), each node with the tight
// bounding box of its points. Leaves hold a few points in consecutive places, so that a
// search touches memory in order and a group of nearby points is a range.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "core/status.h"
#include "density/density.h"

namespace haloprof::density_detail {

struct tree_node {
  float lo[3], hi[3];        // the bounding box of the node's points
  std::uint32_t begin, end;  // the points [begin, end) in tree order
  std::uint32_t second;      // the second child's index, the first being the next node; 0 for a leaf
  bool leaf() const { return second == 0; }
  std::uint32_t size() const { return end - begin; }
};

struct point_tree {
  std::vector<float> x, y, z;        // positions in tree order (in a box, taken into [0, box])
  std::vector<std::uint32_t> order;  // order[i]: the index in the input of tree point i
  std::vector<tree_node> nodes;      // depth first, nodes[0] the root
};

// Builds the tree of the points, leaves of at most `leaf_size` points unless more share one
// cell of the finest level. In a box (box > 0) coordinates outside [0, box] are taken modulo
// the box first. Fails (bad_snapshot) on a coordinate that is not finite, naming the point as
// one of `what` ("source", "target"); memory for want of memory. At least one point.
stage_status build_tree(const point_set& p, double box, int leaf_size, int threads, std::string_view what,
                        point_tree& t);

// The single-precision coordinate a position has in the tree: itself, or in a box, when
// outside [0, box], its value modulo the box.
float into_box(float v, double box);

}  // namespace haloprof::density_detail
