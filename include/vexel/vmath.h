/* 3-vectors, quaternions, 3x3 and 4x4 matrices of doubles, stored as bare arrays.
 *
 * vec3 = x, y, z; quat = x, y, z, w; mat3 = 9 and mat4 = 16 elements, column-major
 * (column c of a mat4 in elements 4c..4c+3, translation in 12, 13, 14).
 *
 * A trailing `dest` receives the result; a null `dest` means the first operand is
 * overwritten, and the pointer written to is returned. A `dest` distinct from the first
 * operand always receives the complete result. Matrix constructors and conversions
 * allocate their destination when it is null. Everything allocated here (create
 * functions included) is zero-filled heap memory that the caller releases with free().
 * A failed allocation returns null.
 *
 * Angles are radians, except the field of view of mat4_perspective (degrees).
 * The *_str functions format into a caller buffer large enough for the whole text and
 * return the number of characters written. */
#ifndef VEXEL_VMATH_H
#define VEXEL_VMATH_H

#include <vexel/export.h>

VX_EXTERN_C_BEGIN

/* Vectors are arrays of 3 doubles, 3x3 and 4x4 matrices of 9 and 16 (column-major), quaternions
   of 4 (x, y, z, w). create allocates (from src, or zeros for null; the caller frees), set copies;
   operations write `dest`, or `a` itself when dest is null, and return it. */
VX_API double* vec3_create(const double* src);
VX_API double* vec3_set(const double* src, double* dst);
VX_API double* vec3_add(double* a, const double* b, double* dest);
VX_API double* vec3_subtract(double* a, const double* b, double* dest);
VX_API double* vec3_multiply(double* a, const double* b, double* dest);
VX_API double* vec3_negate(double* a, double* dest);
VX_API double* vec3_scale(double* a, double s, double* dest);
/* A zero vector gives zeros. */
VX_API double* vec3_normalize(double* a, double* dest);
VX_API double* vec3_cross(double* a, const double* b, double* dest);
VX_API double vec3_length(const double* a);
VX_API double vec3_dot(const double* a, const double* b);
/* Unit vector from b towards a; zeros when a equals b. */
VX_API double* vec3_direction(double* a, const double* b, double* dest);
VX_API double* vec3_lerp(double* a, const double* b, double t, double* dest);
VX_API double vec3_dist(const double* a, const double* b);
/* Window coordinates (viewport = x, y, width, height) back to object space; null when
   proj x view is singular or the point lies at infinity. */
VX_API double* vec3_unproject(double* v, const double* view, const double* proj, const double* viewport,
                              double* dest);
VX_API int vec3_str(const double* v, char* buf);

/* 3x3 matrices: allocate, copy, identity, transpose, widen to 4x4. */
VX_API double* mat3_create(const double* src);
VX_API double* mat3_set(const double* src, double* dst);
VX_API double* mat3_identity(double* dest);
VX_API double* mat3_transpose(double* a, double* dest);
VX_API double* mat3_toMat4(const double* a, double* dest);
/* A singular matrix leaves the destination unchanged; the destination is still returned. */
VX_API double* mat3_inverse(double* a, double* dest);
VX_API double* mat3_multiply(double* a, const double* b, double* dest);
VX_API int mat3_str(const double* m, char* buf);

/* 4x4 matrices: allocate, copy, identity, transpose, determinant. */
VX_API double* mat4_create(const double* src);
VX_API double* mat4_set(const double* src, double* dst);
VX_API double* mat4_identity(double* dest);
VX_API double* mat4_transpose(double* a, double* dest);
VX_API double mat4_determinant(const double* a);
/* Null, nothing written, when the determinant is 0. */
VX_API double* mat4_inverse(double* a, double* dest);
VX_API double* mat4_toRotationMat(const double* a, double* dest);
VX_API double* mat4_toMat3(const double* a, double* dest);
/* Inverse of the upper-left 3x3; null, nothing written, when it is singular. */
VX_API double* mat4_toInverseMat3(const double* a, double* dest);
VX_API double* mat4_multiply(double* a, const double* b, double* dest);
/* Point transform (w = 1, no division); `dest` defaults to v. */
VX_API double* mat4_multiplyVec3(const double* m, double* v, double* dest);
VX_API double* mat4_multiplyVec4(const double* m, double* v, double* dest);
VX_API double* mat4_translate(double* m, const double* v, double* dest);
VX_API double* mat4_scale(double* m, const double* v, double* dest);
/* Null for a zero axis. */
VX_API double* mat4_rotate(double* m, double angle, const double* axis, double* dest);
VX_API double* mat4_rotateX(double* m, double angle, double* dest);
VX_API double* mat4_rotateY(double* m, double angle, double* dest);
VX_API double* mat4_rotateZ(double* m, double angle, double* dest);
VX_API double* mat4_frustum(double left, double right, double bottom, double top, double near_z, double far_z,
                            double* dest);
VX_API double* mat4_perspective(double fovy_deg, double aspect, double near_z, double far_z, double* dest);
VX_API double* mat4_ortho(double left, double right, double bottom, double top, double near_z, double far_z,
                          double* dest);
VX_API double* mat4_lookAt(const double* eye, const double* center, const double* up, double* dest);
VX_API double* mat4_fromRotationTranslation(const double* q, const double* v, double* dest);
VX_API int mat4_str(const double* m, char* buf);

/* Quaternions: allocate, copy. */
VX_API double* quat_create(const double* src);
VX_API double* quat_set(const double* src, double* dst);
/* w = -sqrt(|1 - x^2 - y^2 - z^2|). */
VX_API double* quat_calculateW(double* q, double* dest);
VX_API double quat_dot(const double* a, const double* b);
/* A zero quaternion gives zeros. */
VX_API double* quat_inverse(double* q, double* dest);
VX_API double* quat_conjugate(double* q, double* dest);
VX_API double quat_length(const double* q);
VX_API double* quat_normalize(double* q, double* dest);
VX_API double* quat_multiply(double* a, const double* b, double* dest);
/* `dest` defaults to v. */
VX_API double* quat_multiplyVec3(const double* q, double* v, double* dest);
VX_API double* quat_toMat3(const double* q, double* dest);
VX_API double* quat_toMat4(const double* q, double* dest);
/* No sign flip for a negative dot product: the interpolation may take the long way. */
VX_API double* quat_slerp(double* a, const double* b, double t, double* dest);
VX_API int quat_str(const double* q, char* buf);

VX_EXTERN_C_END

#endif
