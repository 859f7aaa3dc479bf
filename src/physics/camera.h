// Sensor rays: orthographic, perspective and fisheye cameras from the 136-byte sensor block.
#pragma once

#include "physics/common.h"
#include "physics/records.h"

namespace velm {

struct SensorRay {
  Vec3 origin;
  Vec3 direction;  // zero when the image position has no ray (outside a fisheye's circle)
};

// Rotation part of the camera-to-world matrix (row-major 4x4, first three rows used).
VELM_HD Vec3 camera_rotate(const float* m, Vec3 v) {
  return {m[0] * v.x + m[1] * v.y + m[2] * v.z, m[4] * v.x + m[5] * v.y + m[6] * v.z,
          m[8] * v.x + m[9] * v.y + m[10] * v.z};
}
VELM_HD Vec3 camera_position(const float* m) { return {m[3], m[7], m[11]}; }

// Fisheye angle from the optical axis for normalised radius r (0 at the centre, 0.5 at the
// image edge), half field of view h; negative when the position maps to no direction.
VELM_HD float fisheye_theta(int projection, float r, float h) {
  switch (projection) {
    case 0: {  // equisolid angle: r ~ 2 sin(theta / 2)
      const float s = 2.f * r * std::sin(h / 2.f);
      return s > 1.f ? -1.f : 2.f * std::asin(s);
    }
    case 1:  // equidistant: r ~ theta
      return 2.f * h * r;
    case 2: {  // orthographic: r ~ sin(theta)
      const float s = 2.f * r * std::sin(h);
      return s > 1.f ? -1.f : std::asin(s);
    }
    default:  // stereographic: r ~ 2 tan(theta / 2)
      return 2.f * std::atan(2.f * r * std::tan(h / 2.f));
  }
}

// Ray through image position (px, py) in pixels (x right, y down the rows).
VELM_HD SensorRay sensor_ray(const SensorBlock& s, float px, float py) {
  const float* m = s.camera_to_world;
  const float u = px / static_cast<float>(s.width) - 0.5f;
  const float v = py / static_cast<float>(s.height) - 0.5f;
  SensorRay ray;
  switch (s.type) {
    case kSensorOrthographic: {
      const Vec3 local(u * s.ortho_width, v * s.ortho_height, 0.f);
      ray.origin = camera_rotate(m, local) + camera_position(m);
      ray.direction = normalize(-Vec3(m[2], m[6], m[10]));
      break;
    }
    case kSensorPerspective: {
      const float tan_half = std::tan(s.fov / 2.f);
      const Vec3 local(2.f * u * tan_half * static_cast<float>(s.width) / s.height,
                       2.f * v * tan_half, -1.f);
      ray.origin = camera_position(m);
      ray.direction = normalize(camera_rotate(m, normalize(local)));
      break;
    }
    case kSensorFisheye: {
      const float r = std::sqrt(u * u + v * v);
      const float h = s.fov / 2.f;
      const float theta = fisheye_theta(s.projection_type, r, h);
      ray.origin = camera_position(m);
      if (theta < 0.f || theta > h) {
        ray.direction = {0.f, 0.f, 0.f};
        break;
      }
      const float phi = std::atan2(v, u);
      const Vec3 local(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi),
                       -std::cos(theta));
      ray.direction = normalize(camera_rotate(m, local));
      break;
    }
    default:
      ray.origin = {0.f, 0.f, 100.f};
      ray.direction = {0.f, 0.f, -1.f};
  }
  return ray;
}

}  // namespace velm
