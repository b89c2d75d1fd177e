// The volume offset of closed meshes.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <array>
#include <cmath>
#include <vector>

#include "TestMeshes.h"
#include "host/MarchingCubesOffset.h"

namespace {

constexpr double kPi = 3.141592653589793;

MarchingCubesOffset::EResult Offset(const MStlBase& source, MStlBase& target, double offset, double voxel,
                                    bool faceSource = false, QelSDK::Common::ProgressPtr progress = nullptr) {
    MarchingCubesOffset::Parameters p;
    p.Source = &source;
    p.Target = &target;
    p.Offset = offset;
    p.VoxelSize = voxel;
    p.FaceSource = faceSource;
    MarchingCubesOffset op;
    op.SetParameters(p);
    return op.Operate(progress);
}

std::vector<std::array<int32_t, 9>> Dump(const MStlBase& mesh) {
    std::vector<std::array<int32_t, 9>> out;
    for (auto it = mesh.BeginTriangle(); it != mesh.EndTriangle(); ++it) {
        std::array<int32_t, 9> c;
        for (int i = 0; i < 3; ++i)
            for (int a = 0; a < 3; ++a) c[size_t(3 * i + a)] = it->GetPoint(i)->Get(a);
        out.push_back(c);
    }
    return out;
}

}  // namespace

// A 1000-unit cube offset by 50 either way, on 10-unit voxels: inward a
// 900-unit cube; outward the cube with rounded edges and corners.  Both
// closed and facing out; facing the source, the grown one faces in.
TEST(MarchingCubesOffset, CubeInwardAndOutward) {
    MStlBase cube;
    GenerateBox(cube, {0, 0, 0}, {1000, 1000, 1000}, 2);
    cube.Update();

    MStlBase shrunk;
    ASSERT_EQ(Offset(cube, shrunk, -50.0, 10.0), MarchingCubesOffset::eSuccess);
    EXPECT_TRUE(Sound(shrunk));
    EXPECT_EQ(CheckMesh(shrunk).shells, 1u);
    EXPECT_NEAR(shrunk.Volume(), 900.0 * 900.0 * 900.0, 0.01 * 900.0 * 900.0 * 900.0);
    shrunk.UpdateExtremes();
    EXPECT_NEAR(shrunk.GetXMin(), 50, 3);
    EXPECT_NEAR(shrunk.GetZMax(), 950, 3);

    MStlBase grown;
    ASSERT_EQ(Offset(cube, grown, 50.0, 10.0), MarchingCubesOffset::eSuccess);
    EXPECT_TRUE(Sound(grown));
    const double rounded = 1e9 + 6.0 * 1e6 * 50.0 + 12.0 * 1000.0 * kPi * 2500.0 / 4.0 + 4.0 / 3.0 * kPi * 125000.0;
    EXPECT_NEAR(grown.Volume(), rounded, 0.005 * rounded);

    MStlBase facing;
    ASSERT_EQ(Offset(cube, facing, 50.0, 10.0, true), MarchingCubesOffset::eSuccess);
    EXPECT_NEAR(facing.Volume(), -grown.Volume(), 1e-9 * rounded);
    ASSERT_EQ(Offset(cube, facing, -50.0, 10.0, true), MarchingCubesOffset::eSuccess);
    EXPECT_DOUBLE_EQ(facing.Volume(), shrunk.Volume());
}

// A sphere shrunk by a fifth of its radius keeps its shape; the same result
// with one and with two threads.
TEST(MarchingCubesOffset, SphereSameWithOneAndTwoThreads) {
    MStlBase sphere;
    GenerateSphere(sphere, 500.0, 5000);
    sphere.Update();
    std::vector<std::array<int32_t, 9>> dump[2];
    for (int threads = 1; threads <= 2; ++threads) {
        tbb::global_control limit(tbb::global_control::max_allowed_parallelism, size_t(threads));
        MStlBase shrunk;
        ASSERT_EQ(Offset(sphere, shrunk, -100.0, 20.0), MarchingCubesOffset::eSuccess);
        EXPECT_TRUE(Sound(shrunk));
        const double expected = sphere.Volume() * std::pow(400.0 / 500.0, 3.0);
        EXPECT_NEAR(shrunk.Volume(), expected, 0.02 * expected);
        dump[threads - 1] = Dump(shrunk);
    }
    EXPECT_EQ(dump[0], dump[1]);
}

// Bad input, a grid beyond the limits (refused before anything is
// allocated), an offset that leaves nothing, and cancellation: none of them
// writes the target.
TEST(MarchingCubesOffset, RefusalsLeaveTheTargetAlone) {
    MStlBase cube, open, target;
    GenerateBox(cube, {0, 0, 0}, {1000, 1000, 1000}, 2);
    cube.Update();
    open.AddStl(cube, false);
    open.RemoveTriangle(open.GetFirstTriangle());
    open.Update();
    GenerateBox(target, {0, 0, 0}, {10, 10, 10}, 1);
    target.Update();
    const auto before = Dump(target);

    MarchingCubesOffset op;
    EXPECT_EQ(op.Operate(), MarchingCubesOffset::eInvalidInput);
    EXPECT_EQ(Offset(open, target, 10.0, 5.0), MarchingCubesOffset::eInvalidInput);
    EXPECT_EQ(Offset(cube, target, std::nan(""), 5.0), MarchingCubesOffset::eInvalidInput);
    // One-unit voxels over a 1000-unit cube: about 1060 a side, within
    // 2048, but some 2e8 voxels of band (6 GB) are refused by the memory
    // limit; a million-unit box needs a quarter million voxels a side.
    EXPECT_EQ(Offset(cube, target, 20.0, 1.0), MarchingCubesOffset::eGridTooLarge);
    MStlBase big;
    GenerateBox(big, {0, 0, 0}, {1000000, 1000000, 1000000}, 1);
    big.Update();
    EXPECT_EQ(Offset(big, target, 20.0, 4.0), MarchingCubesOffset::eGridTooLarge);
    EXPECT_EQ(Offset(cube, target, -600.0, 50.0), MarchingCubesOffset::eEmptyResult);
    EXPECT_EQ(Offset(cube, target, -50.0, 10.0, false, std::make_shared<CancelAfter>(0)),
              MarchingCubesOffset::eCancelled);
    EXPECT_EQ(Offset(cube, target, -50.0, 10.0, false, std::make_shared<CancelAfter>(2)),
              MarchingCubesOffset::eCancelled);
    EXPECT_EQ(Dump(target), before);
}
