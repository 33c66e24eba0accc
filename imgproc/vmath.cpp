#include <vexel/vmath.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <numbers>

namespace {

// Every result is computed into locals before the first store, so any destination may
// alias any operand.

double* alloc(size_t n) { return static_cast<double*>(std::calloc(n, sizeof(double))); }

double* create(const double* src, size_t n) {
    double* d = alloc(n);
    if (d && src) std::memcpy(d, src, n * sizeof(double));
    return d;
}

double* copy(const double* src, double* dst, size_t n) {
    if (src != dst) std::memmove(dst, src, n * sizeof(double));
    return dst;
}

// Constructors and conversions allocate a missing destination.
double* out_or_alloc(double* dest, size_t n) { return dest ? dest : alloc(n); }

template <size_t N>
double* store(const double (&r)[N], double* dest) {
    std::memcpy(dest, r, sizeof r);
    return dest;
}

int format(char* buf, const double* v, int n) {
    int len = std::sprintf(buf, "[");
    for (int i = 0; i < n; ++i) len += std::sprintf(buf + len, i ? ", %f" : "%f", v[i]);
    len += std::sprintf(buf + len, "]");
    return len;
}

// Cofactor inverse of a 3x3 given element by element, so a mat4's upper-left block needs no copy.
struct Inverse3 {
    double r[9];
    bool ok;
};

Inverse3 inverse3(double a00, double a01, double a02, double a10, double a11, double a12, double a20, double a21,
                  double a22) {
    Inverse3 inv{};
    const double b01 = a22 * a11 - a12 * a21;
    const double b11 = -a22 * a10 + a12 * a20;
    const double b21 = a21 * a10 - a11 * a20;
    const double det = a00 * b01 + a01 * b11 + a02 * b21;
    if (det == 0.0) return inv;
    const double id = 1.0 / det;
    const double r[9] = {b01 * id,
                         (-a22 * a01 + a02 * a21) * id,
                         (a12 * a01 - a02 * a11) * id,
                         b11 * id,
                         (a22 * a00 - a02 * a20) * id,
                         (-a12 * a00 + a02 * a10) * id,
                         b21 * id,
                         (-a21 * a00 + a01 * a20) * id,
                         (a11 * a00 - a01 * a10) * id};
    std::memcpy(inv.r, r, sizeof r);
    inv.ok = true;
    return inv;
}

double* frustum(double l, double r, double b, double t, double n, double f, double* dest) {
    dest = out_or_alloc(dest, 16);
    if (!dest) return nullptr;
    const double rl = r - l, tb = t - b, fn = f - n;
    const double m[16] = {n * 2 / rl, 0, 0, 0, 0, n * 2 / tb, 0, 0, (r + l) / rl, (t + b) / tb, -(f + n) / fn, -1,
                          0,          0, -(f * n * 2) / fn, 0};
    return store(m, dest);
}

// Rotation part of a quaternion in column-major order.
void quat_rot(const double* q, double (&m)[9]) {
    const double x = q[0], y = q[1], z = q[2], w = q[3];
    const double x2 = x + x, y2 = y + y, z2 = z + z;
    const double xx = x * x2, xy = x * y2, xz = x * z2;
    const double yy = y * y2, yz = y * z2, zz = z * z2;
    const double wx = w * x2, wy = w * y2, wz = w * z2;
    const double r[9] = {1 - (yy + zz), xy + wz, xz - wy, xy - wz, 1 - (xx + zz), yz + wx, xz + wy, yz - wx,
                         1 - (xx + yy)};
    std::memcpy(m, r, sizeof r);
}

}  // namespace

extern "C" {

// ---- vec3 -------------------------------------------------------------------------------

double* vec3_create(const double* src) { return create(src, 3); }
double* vec3_set(const double* src, double* dst) { return copy(src, dst, 3); }

double* vec3_add(double* a, const double* b, double* dest) {
    const double r[3] = {a[0] + b[0], a[1] + b[1], a[2] + b[2]};
    return store(r, dest ? dest : a);
}

double* vec3_subtract(double* a, const double* b, double* dest) {
    const double r[3] = {a[0] - b[0], a[1] - b[1], a[2] - b[2]};
    return store(r, dest ? dest : a);
}

double* vec3_multiply(double* a, const double* b, double* dest) {
    const double r[3] = {a[0] * b[0], a[1] * b[1], a[2] * b[2]};
    return store(r, dest ? dest : a);
}

double* vec3_negate(double* a, double* dest) {
    const double r[3] = {-a[0], -a[1], -a[2]};
    return store(r, dest ? dest : a);
}

double* vec3_scale(double* a, double s, double* dest) {
    const double r[3] = {a[0] * s, a[1] * s, a[2] * s};
    return store(r, dest ? dest : a);
}

double* vec3_normalize(double* a, double* dest) {
    double* d = dest ? dest : a;
    const double x = a[0], y = a[1], z = a[2];
    const double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0.0) {
        const double zero[3] = {0, 0, 0};
        return store(zero, d);
    }
    if (len == 1.0) return copy(a, d, 3);
    const double il = 1.0 / len;
    const double r[3] = {x * il, y * il, z * il};
    return store(r, d);
}

double* vec3_cross(double* a, const double* b, double* dest) {
    const double r[3] = {a[1] * b[2] - a[2] * b[1], a[2] * b[0] - a[0] * b[2], a[0] * b[1] - a[1] * b[0]};
    return store(r, dest ? dest : a);
}

double vec3_length(const double* a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }

double vec3_dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

double* vec3_direction(double* a, const double* b, double* dest) {
    const double x = a[0] - b[0], y = a[1] - b[1], z = a[2] - b[2];
    const double len = std::sqrt(x * x + y * y + z * z);
    double r[3] = {0, 0, 0};
    if (len != 0.0) {
        const double il = 1.0 / len;
        r[0] = x * il;
        r[1] = y * il;
        r[2] = z * il;
    }
    return store(r, dest ? dest : a);
}

double* vec3_lerp(double* a, const double* b, double t, double* dest) {
    const double r[3] = {a[0] + t * (b[0] - a[0]), a[1] + t * (b[1] - a[1]), a[2] + t * (b[2] - a[2])};
    return store(r, dest ? dest : a);
}

double vec3_dist(const double* a, const double* b) {
    const double x = b[0] - a[0], y = b[1] - a[1], z = b[2] - a[2];
    return std::sqrt(x * x + y * y + z * z);
}

double* vec3_unproject(double* v, const double* view, const double* proj, const double* viewport, double* dest) {
    double n[4] = {(v[0] - viewport[0]) * 2 / viewport[2] - 1, (v[1] - viewport[1]) * 2 / viewport[3] - 1,
                   2 * v[2] - 1, 1};
    double m[16];
    mat4_multiply(const_cast<double*>(proj), view, m);
    if (!mat4_inverse(m, nullptr)) return nullptr;
    mat4_multiplyVec4(m, n, nullptr);
    if (n[3] == 0.0) return nullptr;
    const double r[3] = {n[0] / n[3], n[1] / n[3], n[2] / n[3]};
    return store(r, dest ? dest : v);
}

int vec3_str(const double* v, char* buf) { return format(buf, v, 3); }

// ---- mat3 -------------------------------------------------------------------------------

double* mat3_create(const double* src) { return create(src, 9); }
double* mat3_set(const double* src, double* dst) { return copy(src, dst, 9); }

double* mat3_identity(double* dest) {
    dest = out_or_alloc(dest, 9);
    if (!dest) return nullptr;
    const double r[9] = {1, 0, 0, 0, 1, 0, 0, 0, 1};
    return store(r, dest);
}

double* mat3_transpose(double* a, double* dest) {
    const double r[9] = {a[0], a[3], a[6], a[1], a[4], a[7], a[2], a[5], a[8]};
    return store(r, dest ? dest : a);
}

double* mat3_toMat4(const double* a, double* dest) {
    dest = out_or_alloc(dest, 16);
    if (!dest) return nullptr;
    const double r[16] = {a[0], a[1], a[2], 0, a[3], a[4], a[5], 0, a[6], a[7], a[8], 0, 0, 0, 0, 1};
    return store(r, dest);
}

double* mat3_inverse(double* a, double* dest) {
    double* d = dest ? dest : a;
    double tmp[16];
    mat3_toMat4(a, tmp);
    mat4_toInverseMat3(tmp, d);  // leaves d alone when singular
    return d;
}

double* mat3_multiply(double* a, const double* b, double* dest) {
    double r[9];
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 3; ++row)
            r[3 * c + row] = a[row] * b[3 * c] + a[3 + row] * b[3 * c + 1] + a[6 + row] * b[3 * c + 2];
    return store(r, dest ? dest : a);
}

int mat3_str(const double* m, char* buf) { return format(buf, m, 9); }

// ---- mat4 -------------------------------------------------------------------------------

double* mat4_create(const double* src) { return create(src, 16); }
double* mat4_set(const double* src, double* dst) { return copy(src, dst, 16); }

double* mat4_identity(double* dest) {
    dest = out_or_alloc(dest, 16);
    if (!dest) return nullptr;
    const double r[16] = {1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    return store(r, dest);
}

double* mat4_transpose(double* a, double* dest) {
    double r[16];
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row) r[4 * c + row] = a[4 * row + c];
    return store(r, dest ? dest : a);
}

namespace {

// The 2x2 sub-determinants shared by the determinant and the inverse.
struct Minors {
    double b00, b01, b02, b03, b04, b05, b06, b07, b08, b09, b10, b11;
    double det() const { return b00 * b11 - b01 * b10 + b02 * b09 + b03 * b08 - b04 * b07 + b05 * b06; }
};

Minors minors(const double* a) {
    const double a00 = a[0], a01 = a[1], a02 = a[2], a03 = a[3];
    const double a10 = a[4], a11 = a[5], a12 = a[6], a13 = a[7];
    const double a20 = a[8], a21 = a[9], a22 = a[10], a23 = a[11];
    const double a30 = a[12], a31 = a[13], a32 = a[14], a33 = a[15];
    return {a00 * a11 - a01 * a10, a00 * a12 - a02 * a10, a00 * a13 - a03 * a10, a01 * a12 - a02 * a11,
            a01 * a13 - a03 * a11, a02 * a13 - a03 * a12, a20 * a31 - a21 * a30, a20 * a32 - a22 * a30,
            a20 * a33 - a23 * a30, a21 * a32 - a22 * a31, a21 * a33 - a23 * a31, a22 * a33 - a23 * a32};
}

}  // namespace

double mat4_determinant(const double* a) { return minors(a).det(); }

double* mat4_inverse(double* a, double* dest) {
    const Minors m = minors(a);
    const double det = m.det();
    if (det == 0.0) return nullptr;
    const double id = 1.0 / det;
    const double a00 = a[0], a01 = a[1], a02 = a[2], a03 = a[3];
    const double a10 = a[4], a11 = a[5], a12 = a[6], a13 = a[7];
    const double a20 = a[8], a21 = a[9], a22 = a[10], a23 = a[11];
    const double a30 = a[12], a31 = a[13], a32 = a[14], a33 = a[15];
    const double r[16] = {(a11 * m.b11 - a12 * m.b10 + a13 * m.b09) * id,
                          (-a01 * m.b11 + a02 * m.b10 - a03 * m.b09) * id,
                          (a31 * m.b05 - a32 * m.b04 + a33 * m.b03) * id,
                          (-a21 * m.b05 + a22 * m.b04 - a23 * m.b03) * id,
                          (-a10 * m.b11 + a12 * m.b08 - a13 * m.b07) * id,
                          (a00 * m.b11 - a02 * m.b08 + a03 * m.b07) * id,
                          (-a30 * m.b05 + a32 * m.b02 - a33 * m.b01) * id,
                          (a20 * m.b05 - a22 * m.b02 + a23 * m.b01) * id,
                          (a10 * m.b10 - a11 * m.b08 + a13 * m.b06) * id,
                          (-a00 * m.b10 + a01 * m.b08 - a03 * m.b06) * id,
                          (a30 * m.b04 - a31 * m.b02 + a33 * m.b00) * id,
                          (-a20 * m.b04 + a21 * m.b02 - a23 * m.b00) * id,
                          (-a10 * m.b09 + a11 * m.b07 - a12 * m.b06) * id,
                          (a00 * m.b09 - a01 * m.b07 + a02 * m.b06) * id,
                          (-a30 * m.b03 + a31 * m.b01 - a32 * m.b00) * id,
                          (a20 * m.b03 - a21 * m.b01 + a22 * m.b00) * id};
    return store(r, dest ? dest : a);
}

double* mat4_toRotationMat(const double* a, double* dest) {
    dest = out_or_alloc(dest, 16);
    if (!dest) return nullptr;
    copy(a, dest, 12);
    dest[12] = dest[13] = dest[14] = 0;
    dest[15] = 1;
    return dest;
}

double* mat4_toMat3(const double* a, double* dest) {
    dest = out_or_alloc(dest, 9);
    if (!dest) return nullptr;
    const double r[9] = {a[0], a[1], a[2], a[4], a[5], a[6], a[8], a[9], a[10]};
    return store(r, dest);
}

double* mat4_toInverseMat3(const double* a, double* dest) {
    const Inverse3 inv = inverse3(a[0], a[1], a[2], a[4], a[5], a[6], a[8], a[9], a[10]);
    if (!inv.ok) return nullptr;
    dest = out_or_alloc(dest, 9);
    if (!dest) return nullptr;
    return store(inv.r, dest);
}

double* mat4_multiply(double* a, const double* b, double* dest) {
    double r[16];
    for (int c = 0; c < 4; ++c)
        for (int row = 0; row < 4; ++row)
            r[4 * c + row] = a[row] * b[4 * c] + a[4 + row] * b[4 * c + 1] + a[8 + row] * b[4 * c + 2] +
                             a[12 + row] * b[4 * c + 3];
    return store(r, dest ? dest : a);
}

double* mat4_multiplyVec3(const double* m, double* v, double* dest) {
    const double x = v[0], y = v[1], z = v[2];
    const double r[3] = {m[0] * x + m[4] * y + m[8] * z + m[12], m[1] * x + m[5] * y + m[9] * z + m[13],
                         m[2] * x + m[6] * y + m[10] * z + m[14]};
    return store(r, dest ? dest : v);
}

double* mat4_multiplyVec4(const double* m, double* v, double* dest) {
    const double x = v[0], y = v[1], z = v[2], w = v[3];
    double r[4];
    for (int row = 0; row < 4; ++row) r[row] = m[row] * x + m[4 + row] * y + m[8 + row] * z + m[12 + row] * w;
    return store(r, dest ? dest : v);
}

double* mat4_translate(double* m, const double* v, double* dest) {
    double* d = dest ? dest : m;
    const double x = v[0], y = v[1], z = v[2];
    double t[4];
    for (int row = 0; row < 4; ++row) t[row] = m[row] * x + m[4 + row] * y + m[8 + row] * z + m[12 + row];
    copy(m, d, 12);
    std::memcpy(d + 12, t, sizeof t);
    return d;
}

double* mat4_scale(double* m, const double* v, double* dest) {
    double* d = dest ? dest : m;
    double r[16];
    for (int row = 0; row < 4; ++row) {
        r[row] = m[row] * v[0];
        r[4 + row] = m[4 + row] * v[1];
        r[8 + row] = m[8 + row] * v[2];
        r[12 + row] = m[12 + row];
    }
    return store(r, d);
}

namespace {

// d = m x R for a rotation R given by its upper-left 3x3 columns (column-major).
double* rotate_by(const double* m, const double (&rot)[9], double* d) {
    double r[16];
    for (int c = 0; c < 3; ++c)
        for (int row = 0; row < 4; ++row)
            r[4 * c + row] = m[row] * rot[3 * c] + m[4 + row] * rot[3 * c + 1] + m[8 + row] * rot[3 * c + 2];
    for (int row = 0; row < 4; ++row) r[12 + row] = m[12 + row];
    return store(r, d);
}

}  // namespace

double* mat4_rotate(double* m, double angle, const double* axis, double* dest) {
    double x = axis[0], y = axis[1], z = axis[2];
    double len = std::sqrt(x * x + y * y + z * z);
    if (len == 0.0) return nullptr;
    if (len != 1.0) {
        len = 1.0 / len;
        x *= len;
        y *= len;
        z *= len;
    }
    const double s = std::sin(angle), c = std::cos(angle), t = 1 - c;
    const double rot[9] = {x * x * t + c,     y * x * t + z * s, z * x * t - y * s,
                           x * y * t - z * s, y * y * t + c,     z * y * t + x * s,
                           x * z * t + y * s, y * z * t - x * s, z * z * t + c};
    return rotate_by(m, rot, dest ? dest : m);
}

double* mat4_rotateX(double* m, double angle, double* dest) {
    const double s = std::sin(angle), c = std::cos(angle);
    const double rot[9] = {1, 0, 0, 0, c, s, 0, -s, c};
    return rotate_by(m, rot, dest ? dest : m);
}

double* mat4_rotateY(double* m, double angle, double* dest) {
    const double s = std::sin(angle), c = std::cos(angle);
    const double rot[9] = {c, 0, -s, 0, 1, 0, s, 0, c};
    return rotate_by(m, rot, dest ? dest : m);
}

double* mat4_rotateZ(double* m, double angle, double* dest) {
    const double s = std::sin(angle), c = std::cos(angle);
    const double rot[9] = {c, s, 0, -s, c, 0, 0, 0, 1};
    return rotate_by(m, rot, dest ? dest : m);
}

double* mat4_frustum(double left, double right, double bottom, double top, double near_z, double far_z,
                     double* dest) {
    return frustum(left, right, bottom, top, near_z, far_z, dest);
}

double* mat4_perspective(double fovy_deg, double aspect, double near_z, double far_z, double* dest) {
    const double top = near_z * std::tan(fovy_deg * std::numbers::pi / 360.0);
    const double right = top * aspect;
    return frustum(-right, right, -top, top, near_z, far_z, dest);
}

double* mat4_ortho(double left, double right, double bottom, double top, double near_z, double far_z,
                   double* dest) {
    dest = out_or_alloc(dest, 16);
    if (!dest) return nullptr;
    const double rl = right - left, tb = top - bottom, fn = far_z - near_z;
    const double r[16] = {2 / rl, 0, 0, 0, 0, 2 / tb, 0, 0, 0, 0, -2 / fn, 0,
                          -(left + right) / rl, -(top + bottom) / tb, -(far_z + near_z) / fn, 1};
    return store(r, dest);
}

double* mat4_lookAt(const double* eye, const double* center, const double* up, double* dest) {
    if (eye[0] == center[0] && eye[1] == center[1] && eye[2] == center[2]) return mat4_identity(dest);
    dest = out_or_alloc(dest, 16);
    if (!dest) return nullptr;
    double z[3] = {eye[0] - center[0], eye[1] - center[1], eye[2] - center[2]};
    vec3_normalize(z, nullptr);
    double x[3];
    vec3_cross(const_cast<double*>(up), z, x);
    vec3_normalize(x, nullptr);  // zeros stay zeros when up is parallel to the view direction
    double y[3];
    vec3_cross(z, x, y);
    vec3_normalize(y, nullptr);
    const double r[16] = {x[0], y[0], z[0], 0, x[1], y[1], z[1], 0, x[2], y[2], z[2], 0,
                          -vec3_dot(x, eye), -vec3_dot(y, eye), -vec3_dot(z, eye), 1};
    return store(r, dest);
}

double* mat4_fromRotationTranslation(const double* q, const double* v, double* dest) {
    dest = out_or_alloc(dest, 16);
    if (!dest) return nullptr;
    double m[9];
    quat_rot(q, m);
    const double r[16] = {m[0], m[1], m[2], 0, m[3], m[4], m[5], 0, m[6], m[7], m[8], 0, v[0], v[1], v[2], 1};
    return store(r, dest);
}

int mat4_str(const double* m, char* buf) { return format(buf, m, 16); }

// ---- quat -------------------------------------------------------------------------------

double* quat_create(const double* src) { return create(src, 4); }
double* quat_set(const double* src, double* dst) { return copy(src, dst, 4); }

double* quat_calculateW(double* q, double* dest) {
    const double x = q[0], y = q[1], z = q[2];
    const double r[4] = {x, y, z, -std::sqrt(std::fabs(1.0 - x * x - y * y - z * z))};
    return store(r, dest ? dest : q);
}

double quat_dot(const double* a, const double* b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2] + a[3] * b[3];
}

double* quat_inverse(double* q, double* dest) {
    const double dot = quat_dot(q, q);
    // A zero quaternion has no inverse; zeros rather than NaNs keep later products finite.
    const double id = dot != 0.0 ? 1.0 / dot : 0.0;
    const double r[4] = {-q[0] * id, -q[1] * id, -q[2] * id, q[3] * id};
    return store(r, dest ? dest : q);
}

double* quat_conjugate(double* q, double* dest) {
    const double r[4] = {-q[0], -q[1], -q[2], q[3]};
    return store(r, dest ? dest : q);
}

double quat_length(const double* q) { return std::sqrt(quat_dot(q, q)); }

double* quat_normalize(double* q, double* dest) {
    const double len = quat_length(q);
    double r[4] = {0, 0, 0, 0};
    if (len != 0.0) {
        const double il = 1.0 / len;
        for (int i = 0; i < 4; ++i) r[i] = q[i] * il;
    }
    return store(r, dest ? dest : q);
}

double* quat_multiply(double* a, const double* b, double* dest) {
    const double ax = a[0], ay = a[1], az = a[2], aw = a[3];
    const double bx = b[0], by = b[1], bz = b[2], bw = b[3];
    const double r[4] = {ax * bw + aw * bx + ay * bz - az * by, ay * bw + aw * by + az * bx - ax * bz,
                         az * bw + aw * bz + ax * by - ay * bx, aw * bw - ax * bx - ay * by - az * bz};
    return store(r, dest ? dest : a);
}

double* quat_multiplyVec3(const double* q, double* v, double* dest) {
    const double x = v[0], y = v[1], z = v[2];
    const double qx = q[0], qy = q[1], qz = q[2], qw = q[3];
    // q * v, then times the conjugate of q.
    const double ix = qw * x + qy * z - qz * y;
    const double iy = qw * y + qz * x - qx * z;
    const double iz = qw * z + qx * y - qy * x;
    const double iw = -qx * x - qy * y - qz * z;
    const double r[3] = {ix * qw + iw * -qx + iy * -qz - iz * -qy, iy * qw + iw * -qy + iz * -qx - ix * -qz,
                         iz * qw + iw * -qz + ix * -qy - iy * -qx};
    return store(r, dest ? dest : v);
}

double* quat_toMat3(const double* q, double* dest) {
    dest = out_or_alloc(dest, 9);
    if (!dest) return nullptr;
    double m[9];
    quat_rot(q, m);
    return store(m, dest);
}

double* quat_toMat4(const double* q, double* dest) {
    static const double zero[3] = {0, 0, 0};
    return mat4_fromRotationTranslation(q, zero, dest);
}

double* quat_slerp(double* a, const double* b, double t, double* dest) {
    double* d = dest ? dest : a;
    const double c = quat_dot(a, b);
    if (std::fabs(c) >= 1.0) return copy(a, d, 4);
    const double theta = std::acos(c);
    const double s = std::sqrt(1.0 - c * c);
    double r[4];
    if (std::fabs(s) < 0.001) {
        for (int i = 0; i < 4; ++i) r[i] = a[i] * 0.5 + b[i] * 0.5;
    } else {
        const double ra = std::sin((1 - t) * theta) / s, rb = std::sin(t * theta) / s;
        for (int i = 0; i < 4; ++i) r[i] = a[i] * ra + b[i] * rb;
    }
    return store(r, d);
}

int quat_str(const double* q, char* buf) { return format(buf, q, 4); }

}  // extern "C"
