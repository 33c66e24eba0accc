#include <vexel/vmath.h>

#include <array>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <numbers>
#include <random>
#include <string>

#include <gtest/gtest.h>

namespace {

using M4 = std::array<double, 16>;
using M3 = std::array<double, 9>;
using V3 = std::array<double, 3>;
using Q = std::array<double, 4>;

// Independent references index by (row, column) so a transposed layout would show.
double at4(const M4& m, int r, int c) { return m[4 * c + r]; }

M4 product4(const M4& a, const M4& b) {
    M4 r{};
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j)
            for (int k = 0; k < 4; ++k) r[4 * j + i] += at4(a, i, k) * at4(b, k, j);
    return r;
}

double det_laplace(const double* m, int n) {  // m is row-major n x n
    if (n == 1) return m[0];
    double sum = 0, sign = 1;
    for (int c = 0; c < n; ++c, sign = -sign) {
        double sub[9];
        int k = 0;
        for (int r = 1; r < n; ++r)
            for (int cc = 0; cc < n; ++cc)
                if (cc != c) sub[k++] = m[r * n + cc];
        sum += sign * m[c] * det_laplace(sub, n - 1);
    }
    return sum;
}

V3 rodrigues(V3 axis, double angle, const V3& v) {
    const double len = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    for (double& a : axis) a /= len;
    const double c = std::cos(angle), s = std::sin(angle);
    const double d = axis[0] * v[0] + axis[1] * v[1] + axis[2] * v[2];
    const V3 k = {axis[1] * v[2] - axis[2] * v[1], axis[2] * v[0] - axis[0] * v[2], axis[0] * v[1] - axis[1] * v[0]};
    V3 r;
    for (int i = 0; i < 3; ++i) r[i] = v[i] * c + k[i] * s + axis[i] * d * (1 - c);
    return r;
}

// Axis-angle quaternion, built without the library.
Q axis_quat(V3 axis, double angle) {
    const double len = std::sqrt(axis[0] * axis[0] + axis[1] * axis[1] + axis[2] * axis[2]);
    const double s = std::sin(angle / 2) / len;
    return {axis[0] * s, axis[1] * s, axis[2] * s, std::cos(angle / 2)};
}

void expect_near_all(const double* got, const double* want, int n, double tol) {
    for (int i = 0; i < n; ++i) EXPECT_NEAR(got[i], want[i], tol) << "element " << i;
}

template <size_t N>
void expect_all(const double* got, const double (&want)[N], double tol = 1e-15) {
    expect_near_all(got, want, int(N), tol);
}

class VmathRandom : public ::testing::Test {
protected:
    std::mt19937_64 rng{20240611};
    double uni(double lo, double hi) { return std::uniform_real_distribution<double>(lo, hi)(rng); }
    V3 vec(double r = 5) { return {uni(-r, r), uni(-r, r), uni(-r, r)}; }
    // Diagonally dominant, hence comfortably invertible.
    M4 well_conditioned4() {
        M4 m;
        for (double& e : m) e = uni(-1, 1);
        for (int i = 0; i < 4; ++i) m[5 * i] += (uni(0, 1) < 0.5 ? -1 : 1) * uni(4, 8);
        return m;
    }
};

}  // namespace

TEST(Vmath, EdgeCases) {
    // The camera matrix stored row by row inverts to the closed form.
    double k[9] = {210.5, 0, 157.25, 0, 204.75, 122.5, 0, 0, 1};
    ASSERT_EQ(mat3_inverse(k, nullptr), k);
    const double want[9] = {1 / 210.5, 0, -157.25 / 210.5, 0, 1 / 204.75, -122.5 / 204.75, 0, 0, 1};
    expect_near_all(k, want, 9, 1e-15);

    double z[3] = {0, 0, 0};
    expect_all(vec3_normalize(z, nullptr), {0, 0, 0}, 0);
    double v[3] = {0, 3, 4}, n[3];
    EXPECT_EQ(vec3_normalize(v, n), n);
    expect_all(n, {0, 0.6, 0.8});
    EXPECT_EQ(v[2], 4);

    double zeros[16] = {}, dest[16];
    for (double& e : dest) e = 7;
    EXPECT_EQ(mat4_inverse(zeros, dest), nullptr);
    for (double e : dest) EXPECT_EQ(e, 7);

    double m[16], before[16];
    mat4_identity(m);
    std::memcpy(before, m, sizeof m);
    const double axis0[3] = {0, 0, 0};
    EXPECT_EQ(mat4_rotate(m, 1.0, axis0, nullptr), nullptr);
    EXPECT_EQ(std::memcmp(m, before, sizeof m), 0);

    double a[4] = {0.5, -0.5, 0.5, 0.5}, out[4];
    const double b[4] = {0.5, -0.5, 0.5, 0.5};
    EXPECT_EQ(quat_slerp(a, b, 0.37, out), out);
    EXPECT_EQ(std::memcmp(out, a, sizeof a), 0);

    double p[3] = {1, 2, 3};
    const double q[3] = {10, 20, 30};
    EXPECT_EQ(vec3_add(p, q, nullptr), p);
    expect_all(p, {11, 22, 33}, 0);
}

TEST(Vmath, DestinationRules) {
    // A separate destination receives the untouched elements of the first operand too.
    double m[16];
    for (int i = 0; i < 16; ++i) m[i] = i + 1;
    const double v[3] = {2, 3, 4};
    double d[16] = {};
    mat4_translate(m, v, d);
    for (int i = 0; i < 12; ++i) EXPECT_EQ(d[i], m[i]);
    for (int r = 0; r < 4; ++r) EXPECT_EQ(d[12 + r], m[12 + r] + 2 * m[r] + 3 * m[4 + r] + 4 * m[8 + r]);

    double s[16] = {}, rx[16] = {};
    mat4_scale(m, v, s);
    mat4_rotateX(m, 0.3, rx);
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(s[r], 2 * m[r]);
        EXPECT_EQ(s[8 + r], 4 * m[8 + r]);
        EXPECT_EQ(s[12 + r], m[12 + r]);
        EXPECT_EQ(rx[r], m[r]);
        EXPECT_EQ(rx[12 + r], m[12 + r]);
    }

    // Destination aliasing the second operand still sees the original operands.
    double a[9], b[9], want[9];
    for (int i = 0; i < 9; ++i) a[i] = i - 3, b[i] = 2 * i + 1;
    mat3_multiply(a, b, want);
    mat3_multiply(a, b, b);
    expect_near_all(b, want, 9, 0);

    // Constructors and conversions allocate when given nothing; operations never do.
    double* id = mat4_identity(nullptr);
    ASSERT_NE(id, nullptr);
    double* id3 = mat4_toMat3(id, nullptr);
    ASSERT_NE(id3, nullptr);
    expect_all(id3, {1, 0, 0, 0, 1, 0, 0, 0, 1}, 0);
    double* back = mat3_toMat4(id3, nullptr);
    EXPECT_EQ(std::memcmp(back, id, 16 * sizeof(double)), 0);
    double tm[16];
    for (int i = 0; i < 16; ++i) tm[i] = i;
    double* rot = mat4_toRotationMat(tm, nullptr);
    EXPECT_TRUE(rot[11] == 11 && rot[12] == 0 && rot[14] == 0 && rot[15] == 1);
    EXPECT_EQ(tm[12], 12);
    double* c = vec3_create(nullptr);
    expect_all(c, {0, 0, 0}, 0);
    const double src[4] = {1, 2, 3, 4};
    double* qc = quat_create(src);
    expect_all(qc, src, 0);
    for (double* p : {id, id3, back, rot, c, qc}) std::free(p);

    double sing[16] = {1, 2, 3, 0, 2, 4, 6, 0, 0, 0, 1, 0, 0, 0, 0, 1};
    EXPECT_EQ(mat4_toInverseMat3(sing, nullptr), nullptr);
    double keep[9] = {5, 5, 5, 5, 5, 5, 5, 5, 5};
    double sing3[9] = {1, 2, 3, 2, 4, 6, 7, 8, 9};
    EXPECT_EQ(mat3_inverse(sing3, keep), keep);
    for (double e : keep) EXPECT_EQ(e, 5);
}

TEST(Vmath, VectorOperations) {
    double a[3] = {1, 2, 2}, b[3] = {4, 6, 2}, d[3];
    EXPECT_DOUBLE_EQ(vec3_length(a), 3);
    EXPECT_DOUBLE_EQ(vec3_dist(a, b), 5);
    EXPECT_DOUBLE_EQ(vec3_dot(a, b), 20);
    expect_all(vec3_direction(b, a, d), {0.6, 0.8, 0});
    expect_all(vec3_direction(a, a, d), {0, 0, 0}, 0);
    expect_all(vec3_lerp(a, b, 0.25, d), {1.75, 3, 2});
    expect_all(vec3_cross(a, b, d), {-8, 6, -2}, 0);
    vec3_cross(a, b, a);  // in place through dest == a
    expect_all(a, {-8, 6, -2}, 0);
    double e[3] = {1, -2, 3};
    expect_all(vec3_negate(vec3_scale(e, -2, nullptr), nullptr), {2, -4, 6}, 0);
    vec3_subtract(e, b, nullptr);
    expect_all(vec3_multiply(e, b, nullptr), {-8, -60, 8}, 0);
}

TEST(Vmath, TextFormats) {
    char buf[512];
    const double v[3] = {1, -2.5, 1e-7};
    const int len = vec3_str(v, buf);
    EXPECT_EQ(len, static_cast<int>(std::strlen(buf)));
    EXPECT_STREQ(buf, "[1.000000, -2.500000, 0.000000]");
    const double q[4] = {0, 0.25, 3, -1};
    quat_str(q, buf);
    EXPECT_STREQ(buf, "[0.000000, 0.250000, 3.000000, -1.000000]");
    double m[16];
    for (int i = 0; i < 16; ++i) m[i] = i;
    const int n = mat4_str(m, buf);
    EXPECT_EQ(n, static_cast<int>(std::strlen(buf)));
    EXPECT_EQ(std::string(buf).substr(0, 22), "[0.000000, 1.000000, 2");
    EXPECT_EQ(std::string(buf).substr(n - 12), ", 15.000000]");
    mat3_str(m, buf);
    EXPECT_STREQ(buf, "[0.000000, 1.000000, 2.000000, 3.000000, 4.000000, 5.000000, 6.000000, 7.000000, 8.000000]");
}

TEST_F(VmathRandom, InversesAndDeterminants) {
    for (int iter = 0; iter < 200; ++iter) {
        M4 m = well_conditioned4();
        double rowmajor[16];
        for (int r = 0; r < 4; ++r)
            for (int c = 0; c < 4; ++c) rowmajor[4 * r + c] = at4(m, r, c);
        EXPECT_NEAR(mat4_determinant(m.data()), det_laplace(rowmajor, 4), 1e-9 * std::fabs(det_laplace(rowmajor, 4)));

        M4 inv;
        ASSERT_EQ(mat4_inverse(m.data(), inv.data()), inv.data());
        const M4 p = product4(m, inv), p2 = product4(inv, m);
        for (int i = 0; i < 16; ++i) {
            EXPECT_NEAR(p[i], i % 5 == 0 ? 1 : 0, 1e-12);
            EXPECT_NEAR(p2[i], i % 5 == 0 ? 1 : 0, 1e-12);
        }

        // mat3 inverse through the 4x4 path, and mat3 products in the same layout.
        M3 a, ai;
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r) a[3 * c + r] = m[4 * c + r];
        mat3_inverse(a.data(), ai.data());
        M3 id;
        mat3_multiply(a.data(), ai.data(), id.data());
        for (int i = 0; i < 9; ++i) EXPECT_NEAR(id[i], i % 4 == 0 ? 1 : 0, 1e-12);
        M3 t;
        mat3_transpose(a.data(), t.data());
        mat3_inverse(t.data(), nullptr);
        mat3_transpose(t.data(), nullptr);
        expect_near_all(t.data(), ai.data(), 9, 1e-12);

        // Products follow the column-major layout: element [n*c + r] is row r, column c.
        const M4 other = well_conditioned4();
        M4 mo;
        mat4_multiply(m.data(), other.data(), mo.data());
        expect_near_all(mo.data(), product4(m, other).data(), 16, 1e-12);
        M3 b3, ab;
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r) b3[3 * c + r] = other[4 * c + r];
        mat3_multiply(a.data(), b3.data(), ab.data());
        for (int c = 0; c < 3; ++c)
            for (int r = 0; r < 3; ++r) {
                double want = 0;
                for (int k = 0; k < 3; ++k) want += a[3 * k + r] * b3[3 * c + k];
                EXPECT_NEAR(ab[3 * c + r], want, 1e-12);
            }

        M4 tr;
        mat4_transpose(m.data(), tr.data());
        EXPECT_EQ(at4(tr, 1, 3), at4(m, 3, 1));
    }
}

TEST_F(VmathRandom, RotationsAgree) {
    for (int iter = 0; iter < 200; ++iter) {
        const V3 axis = vec(1);
        const double angle = uni(-3, 3);
        V3 v = vec();
        const V3 want = rodrigues(axis, angle, v);

        // Quaternion applied directly, as a 3x3, as a 4x4, and folded into mat4_rotate.
        Q q = axis_quat(axis, angle);
        V3 got;
        quat_multiplyVec3(q.data(), v.data(), got.data());
        expect_near_all(got.data(), want.data(), 3, 1e-12);

        M3 r3;
        quat_toMat3(q.data(), r3.data());
        for (int i = 0; i < 3; ++i)
            EXPECT_NEAR(r3[i] * v[0] + r3[3 + i] * v[1] + r3[6 + i] * v[2], want[i], 1e-12);

        M4 r4;
        quat_toMat4(q.data(), r4.data());
        V3 w = v;
        mat4_multiplyVec3(r4.data(), w.data(), nullptr);
        expect_near_all(w.data(), want.data(), 3, 1e-12);
        EXPECT_EQ(r4[15], 1);
        EXPECT_EQ(r4[12], 0);

        M4 rot;
        mat4_identity(rot.data());
        ASSERT_NE(mat4_rotate(rot.data(), angle, axis.data(), nullptr), nullptr);
        expect_near_all(rot.data(), r4.data(), 16, 1e-12);

        // Rotating a transform composes on the right: (T x R) v = T (R v).
        const V3 tv = vec();
        M4 t, tr;
        mat4_identity(t.data());
        mat4_translate(t.data(), tv.data(), nullptr);
        mat4_rotate(t.data(), angle, axis.data(), tr.data());
        V3 u = v;
        mat4_multiplyVec3(tr.data(), u.data(), nullptr);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(u[i], want[i] + tv[i], 1e-12);

        const V3 tvec = vec();
        M4 rt;
        mat4_fromRotationTranslation(q.data(), tvec.data(), rt.data());
        double h[4] = {v[0], v[1], v[2], 1};
        mat4_multiplyVec4(rt.data(), h, nullptr);
        for (int i = 0; i < 3; ++i) EXPECT_NEAR(h[i], want[i] + tvec[i], 1e-12);
        EXPECT_NEAR(h[3], 1, 1e-15);

        // Products of quaternions rotate like products of matrices.
        const V3 axis2 = vec(1);
        const double angle2 = uni(-3, 3);
        Q q2 = axis_quat(axis2, angle2), qq;
        quat_multiply(q2.data(), q.data(), qq.data());
        V3 twice;
        quat_multiplyVec3(qq.data(), v.data(), twice.data());
        const V3 ref = rodrigues(axis2, angle2, want);
        expect_near_all(twice.data(), ref.data(), 3, 1e-12);

        Q inv, one;
        quat_inverse(q.data(), inv.data());
        quat_multiply(q.data(), inv.data(), one.data());
        const double ident[4] = {0, 0, 0, 1};
        expect_near_all(one.data(), ident, 4, 1e-12);
    }
    for (int k = 0; k < 3; ++k) {
        V3 axis{};
        axis[k] = 1;
        M4 m, a, b;
        for (double& e : m) e = uni(-2, 2);
        using Fn = double* (*)(double*, double, double*);
        const Fn fns[3] = {mat4_rotateX, mat4_rotateY, mat4_rotateZ};
        fns[k](m.data(), 0.7, a.data());
        mat4_rotate(m.data(), 0.7, axis.data(), b.data());
        expect_near_all(a.data(), b.data(), 16, 1e-12);
    }
}

TEST_F(VmathRandom, ViewAndProjection) {
    for (int iter = 0; iter < 200; ++iter) {
        const V3 eye = vec(10), center = vec(10), up = vec(1);
        M4 view;
        mat4_lookAt(eye.data(), center.data(), up.data(), view.data());
        // Orthonormal rotation part with positive orientation.
        M4 rot, rt;
        mat4_toRotationMat(view.data(), rot.data());
        mat4_transpose(rot.data(), rt.data());
        const M4 vvt = product4(rot, rt);
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) EXPECT_NEAR(at4(vvt, r, c), r == c ? 1 : 0, 1e-12);
        M3 r3;
        mat4_toMat3(view.data(), r3.data());
        double rm[9];
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) rm[3 * r + c] = r3[3 * c + r];
        EXPECT_NEAR(det_laplace(rm, 3), 1, 1e-12);
        // The eye goes to the origin, the centre onto the negative z axis.
        V3 e = eye, c = center;
        mat4_multiplyVec3(view.data(), e.data(), nullptr);
        mat4_multiplyVec3(view.data(), c.data(), nullptr);
        for (double x : e) EXPECT_NEAR(x, 0, 1e-12);
        EXPECT_NEAR(c[0], 0, 1e-12);
        EXPECT_NEAR(c[1], 0, 1e-12);
        EXPECT_LT(c[2], 0);

        // Project a point in front of the camera, then unproject it.
        M4 proj;
        mat4_perspective(uni(30, 90), uni(0.5, 2), 0.1, 100, proj.data());
        const double vp[4] = {uni(-50, 50), uni(-50, 50), uni(100, 640), uni(100, 480)};
        const V3 dir = vec(1);
        V3 obj;
        for (int i = 0; i < 3; ++i) obj[i] = center[i] + dir[i];
        if (std::sqrt(std::pow(obj[0] - eye[0], 2) + std::pow(obj[1] - eye[1], 2) + std::pow(obj[2] - eye[2], 2)) < 1)
            continue;
        const M4 pv = product4(proj, view);
        double clip[4] = {obj[0], obj[1], obj[2], 1}, out[4] = {};
        for (int r = 0; r < 4; ++r)
            for (int k = 0; k < 4; ++k) out[r] += at4(pv, r, k) * clip[k];
        if (out[3] <= 0.2) continue;  // behind or at the camera
        double win[3] = {vp[0] + (out[0] / out[3] + 1) * vp[2] / 2, vp[1] + (out[1] / out[3] + 1) * vp[3] / 2,
                         (out[2] / out[3] + 1) / 2};
        V3 back;
        ASSERT_EQ(vec3_unproject(win, view.data(), proj.data(), vp, back.data()), back.data());
        expect_near_all(back.data(), obj.data(), 3, 1e-7);
    }

    // Degenerate cases.
    const double eye[3] = {1, 2, 3}, up[3] = {0, 1, 0};
    double m[16];
    mat4_lookAt(eye, eye, up, m);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(m[i], i % 5 == 0 ? 1 : 0);
    const double below[3] = {1, 0, 3};
    mat4_lookAt(eye, below, up, m);  // up parallel to the view direction
    EXPECT_TRUE(m[0] == 0 && m[4] == 0 && m[8] == 0);
    EXPECT_TRUE(m[1] == 0 && m[5] == 0 && m[9] == 0);
    double zero[16] = {}, v[3] = {1, 1, 0.5};
    const double vp[4] = {0, 0, 10, 10};
    EXPECT_EQ(vec3_unproject(v, zero, zero, vp, nullptr), nullptr);
    EXPECT_EQ(v[0], 1);
}

TEST(Vmath, ProjectionMatrices) {
    double f[16], p[16], o[16];
    mat4_frustum(-2, 3, -1, 4, 1, 10, f);
    expect_all(f, {0.4, 0, 0, 0, 0, 0.4, 0, 0, 0.2, 0.6, -11.0 / 9, -1, 0, 0, -20.0 / 9, 0});

    mat4_perspective(90, 2, 1, 10, p);
    const double top = std::tan(std::numbers::pi / 4);
    mat4_frustum(-2 * top, 2 * top, -top, top, 1, 10, f);
    expect_near_all(p, f, 16, 1e-15);

    // The ortho box maps its corners onto the unit cube.
    mat4_ortho(-2, 6, 1, 5, 2, 10, o);
    double lo[3] = {-2, 1, -2}, hi[3] = {6, 5, -10};
    expect_all(mat4_multiplyVec3(o, lo, nullptr), {-1, -1, -1});
    expect_all(mat4_multiplyVec3(o, hi, nullptr), {1, 1, 1});
}

TEST(Vmath, QuaternionHelpers) {
    // Two unit quaternions 90 degrees apart: the halfway point lies at 45 degrees.
    double a[4] = {0, 0, 0, 1}, r[4];
    const double b[4] = {0, 0, 1, 0};
    quat_slerp(a, b, 0.5, r);
    EXPECT_NEAR(r[2], std::sqrt(0.5), 1e-15);
    EXPECT_NEAR(r[3], std::sqrt(0.5), 1e-15);
    quat_slerp(a, b, 1, r);
    EXPECT_NEAR(r[2], 1, 1e-15);
    EXPECT_NEAR(r[3], 0, 1e-15);
    // No sign flip: towards -a the path goes the long way round, through b's plane.
    const double neg[4] = {0, 0, -0.6, -0.8};
    quat_slerp(a, neg, 0.5, r);
    const double theta = std::acos(-0.8);
    EXPECT_NEAR(r[3], std::sin(theta / 2) / 0.6 + std::sin(theta / 2) / 0.6 * -0.8, 1e-12);
    EXPECT_LT(r[2], 0);
    // Nearly equal quaternions average instead of dividing by a tiny sine.
    const double near[4] = {0, 0, 1e-4, std::sqrt(1 - 1e-8)};
    quat_slerp(a, near, 0.9, r);
    EXPECT_DOUBLE_EQ(r[2], 0.5e-4);
    quat_slerp(a, b, 0.25, nullptr);
    EXPECT_NEAR(a[3], std::cos(std::numbers::pi / 8), 1e-15);

    double q[4] = {0.6, 0, 0, 123}, w[4];
    quat_calculateW(q, w);
    EXPECT_DOUBLE_EQ(w[3], -0.8);
    EXPECT_EQ(q[3], 123);
    double big[4] = {1, 1, 0, 0};
    quat_calculateW(big, nullptr);
    EXPECT_DOUBLE_EQ(big[3], -1);

    double z[4] = {0, 0, 0, 0};
    quat_inverse(z, nullptr);
    quat_normalize(z, nullptr);
    for (double e : z) EXPECT_EQ(e, 0);
    double n[4] = {1, 2, 2, 4};
    EXPECT_DOUBLE_EQ(quat_length(n), 5);
    quat_normalize(n, nullptr);
    EXPECT_DOUBLE_EQ(n[3], 0.8);
    quat_conjugate(n, nullptr);
    EXPECT_DOUBLE_EQ(n[0], -0.2);
    EXPECT_DOUBLE_EQ(quat_dot(n, n), 1);
}
