// Sensor rays: orthographic, perspective and fisheye cameras; the GLSL side of
// src/physics/camera.h.
#ifndef VELM_PHYSICS_CAMERA_GLSL
#define VELM_PHYSICS_CAMERA_GLSL

#include "physics/common.glsl"

const int kSensorOrthographic = 0;
const int kSensorPerspective = 1;
const int kSensorFisheye = 4;

// What a sensor ray needs of the sensor block. camera_to_world holds the rows of the row-major
// 4x4 matrix (the first three used).
struct SensorBlock {
  int type;
  int width;
  int height;
  float ortho_width;
  float ortho_height;
  float fov;  // radians
  int projection_type;
  vec4 camera_to_world[3];
};

struct SensorRay {
  vec3 origin;
  vec3 direction;  // zero when the image position has no ray (outside a fisheye's circle)
};

// Rotation part of the camera-to-world matrix.
vec3 camera_rotate(vec4 m[3], vec3 v) {
  return vec3(m[0].x * v.x + m[0].y * v.y + m[0].z * v.z,
              m[1].x * v.x + m[1].y * v.y + m[1].z * v.z,
              m[2].x * v.x + m[2].y * v.y + m[2].z * v.z);
}
vec3 camera_position(vec4 m[3]) { return vec3(m[0].w, m[1].w, m[2].w); }

// Fisheye angle from the optical axis for normalised radius r (0 at the centre, 0.5 at the
// image edge), half field of view h; negative when the position maps to no direction.
float fisheye_theta(int projection, float r, float h) {
  if (projection == 0) {  // equisolid angle: r ~ 2 sin(theta / 2)
    const float s = 2.0 * r * sin(h / 2.0);
    return s > 1.0 ? -1.0 : 2.0 * asin(s);
  }
  if (projection == 1) return 2.0 * h * r;  // equidistant: r ~ theta
  if (projection == 2) {                    // orthographic: r ~ sin(theta)
    const float s = 2.0 * r * sin(h);
    return s > 1.0 ? -1.0 : asin(s);
  }
  return 2.0 * atan(2.0 * r * tan(h / 2.0));  // stereographic: r ~ 2 tan(theta / 2)
}

// Ray through image position (px, py) in pixels (x right, y down the rows).
SensorRay sensor_ray(SensorBlock s, float px, float py) {
  const float u = px / float(s.width) - 0.5;
  const float v = py / float(s.height) - 0.5;
  SensorRay ray;
  if (s.type == kSensorOrthographic) {
    const vec3 local = vec3(u * s.ortho_width, v * s.ortho_height, 0.0);
    ray.origin = camera_rotate(s.camera_to_world, local) + camera_position(s.camera_to_world);
    ray.direction = normalize_or_zero(-vec3(s.camera_to_world[0].z, s.camera_to_world[1].z,
                                            s.camera_to_world[2].z));
  } else if (s.type == kSensorPerspective) {
    const float tan_half = tan(s.fov / 2.0);
    const vec3 local = vec3(2.0 * u * tan_half * float(s.width) / float(s.height),
                            2.0 * v * tan_half, -1.0);
    ray.origin = camera_position(s.camera_to_world);
    ray.direction = normalize_or_zero(camera_rotate(s.camera_to_world, normalize_or_zero(local)));
  } else if (s.type == kSensorFisheye) {
    const float r = sqrt(u * u + v * v);
    const float h = s.fov / 2.0;
    const float theta = fisheye_theta(s.projection_type, r, h);
    ray.origin = camera_position(s.camera_to_world);
    if (theta < 0.0 || theta > h) {
      ray.direction = vec3(0.0);
    } else {
      // atan2(0, 0) is 0 in C++; GLSL leaves atan(0, 0) undefined.
      const float phi = (u == 0.0 && v == 0.0) ? 0.0 : atan(v, u);
      const vec3 local = vec3(sin(theta) * cos(phi), sin(theta) * sin(phi), -cos(theta));
      ray.direction = normalize_or_zero(camera_rotate(s.camera_to_world, local));
    }
  } else {
    ray.origin = vec3(0.0, 0.0, 100.0);
    ray.direction = vec3(0.0, 0.0, -1.0);
  }
  return ray;
}

#endif
