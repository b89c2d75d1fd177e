// 3MF through lib3mf (1.x, its C interface): the zip package and the XML are
// lib3mf's.  Reading takes every build item, expands components objects with
// their transforms (iteratively, to a bounded depth and size) and rounds the
// transformed float vertices to the grid.  Writing makes one mesh object and
// one build item; lib3mf stores vertices as floats and prints them with six
// decimals at most.
#include <Model/COM/NMR_DLLInterfaces.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <unordered_map>
#include <vector>

#include "host/MMeshFormat.h"
#include "host/MStlBase.h"

namespace meshio {

namespace {

// lib3mf's largest coordinate (NMR_MESH_MAXCOORDINATE) and counts.
constexpr double kMaxCoordinate = 1e9;
constexpr uint64_t kMaxCount = 2147483646;
constexpr uint64_t kProgressEvery = 4096;

// lib3mf's handles: every object it hands out is released once.
using Object = NMR::PLib3MFBase*;
struct Release {
    void operator()(Object instance) const {
        if (instance) NMR::lib3mf_release(instance);
    }
};
using Handle = std::unique_ptr<NMR::PLib3MFBase, Release>;

std::string LastError(Object instance) {
    DWORD code = 0;
    LPCSTR message = nullptr;
    if (!instance || NMR::lib3mf_getlasterror(instance, &code, &message) != LIB3MF_OK) return "unknown error";
    std::string text = message && *message ? message : "error";
    return text + " (code " + std::to_string(code) + ")";
}

Handle NewModel() {
    NMR::PLib3MFModel* model = nullptr;
    if (NMR::lib3mf_createmodel(&model) != LIB3MF_OK) return nullptr;
    return Handle(model);
}

// x' = M x + t, rows of three coefficients and the translation.
struct Transform {
    double m[3][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}};

    static Transform From(const NMR::MODELTRANSFORM& t) {
        Transform r;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 4; ++j) r.m[i][j] = t.m_fFields[i][j];
        return r;
    }
    // This transform applied after `inner`.
    Transform After(const Transform& inner) const {
        Transform r;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 4; ++j) {
                double v = j == 3 ? m[i][3] : 0.0;
                for (int k = 0; k < 3; ++k) v += m[i][k] * inner.m[k][j];
                r.m[i][j] = v;
            }
        return r;
    }
    void Apply(const float p[3], double out[3]) const {
        for (int i = 0; i < 3; ++i) out[i] = m[i][0] * p[0] + m[i][1] * p[1] + m[i][2] * p[2] + m[i][3];
    }
    // A mirroring transform turns the triangles inside out.
    bool Mirrors() const {
        const double det = m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
                           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
                           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
        return det < 0.0;
    }
};

struct ReadProgress {
    MeshBuilder* builder;
    uint64_t bytes;
    bool cancelled = false;
};

bool OnReadProgress(int percent, NMR::ProgressIdentifier, void* user) {
    auto* p = static_cast<ReadProgress*>(user);
    const uint64_t offset = percent > 0 ? p->bytes / 100 * uint64_t(std::min(percent, 100)) : 0;
    if (!p->builder->Progress(offset)) p->cancelled = true;
    return !p->cancelled;
}

// What an object expands to, every instance counted; saturates.
struct Totals {
    uint64_t triangles = 0;
    uint64_t instances = 0;
    void Add(const Totals& o) {
        triangles = std::min(triangles + o.triangles, kSaturated);
        instances = std::min(instances + o.instances, kSaturated);
    }
    static constexpr uint64_t kSaturated = uint64_t(1) << 62;
};

// An object of the model: a mesh, or components placing other objects.
struct ObjectInfo {
    bool isMesh = false;
    std::vector<NMR::MODELMESHVERTEX> vertices;
    std::vector<NMR::MODELMESHTRIANGLE> triangles;
    std::vector<std::pair<DWORD, Transform>> components;
};

// Expands the build into the builder's mesh.  The build's size is measured
// first (each object once), so that a file whose instances multiply beyond
// the limits is refused before anything is made.
class BuildExpander {
public:
    BuildExpander(Object model, MeshBuilder& builder, std::string& error)
        : m_model(model), m_builder(builder), m_error(error) {}

    bool Expand() {
        std::vector<std::pair<DWORD, Transform>> items;
        if (!BuildItems(items)) return false;
        Totals build;
        for (const auto& item : items) {
            Totals one;
            if (!Measure(item.first, one)) return false;
            build.Add(one);
        }
        if (build.triangles > MeshReadLimits::kMax3mfBuildTriangles)
            return Fail("the build expands to " + std::to_string(build.triangles) + " triangles, more than " +
                        std::to_string(MeshReadLimits::kMax3mfBuildTriangles));
        if (build.instances > MeshReadLimits::kMax3mfInstances)
            return Fail("the build places " + std::to_string(build.instances) + " objects, more than " +
                        std::to_string(MeshReadLimits::kMax3mfInstances));
        m_builder.Reserve(0, build.triangles);
        for (const auto& item : items)
            if (!Emit(item.first, item.second)) return false;
        return true;
    }

private:
    bool BuildItems(std::vector<std::pair<DWORD, Transform>>& items) {
        NMR::PLib3MFModelBuildItemIterator* rawItems = nullptr;
        if (NMR::lib3mf_model_getbuilditems(m_model, &rawItems) != LIB3MF_OK) return Fail(LastError(m_model));
        const Handle iterator(rawItems);
        BOOL more = false;
        while (NMR::lib3mf_builditemiterator_movenext(iterator.get(), &more) == LIB3MF_OK && more) {
            NMR::PLib3MFModelBuildItem* rawItem = nullptr;
            if (NMR::lib3mf_builditemiterator_getcurrent(iterator.get(), &rawItem) != LIB3MF_OK)
                return Fail(LastError(iterator.get()));
            const Handle item(rawItem);
            DWORD id = 0;
            BOOL hasTransform = false;
            NMR::MODELTRANSFORM t{};
            if (NMR::lib3mf_builditem_getobjectresourceid(item.get(), &id) != LIB3MF_OK ||
                NMR::lib3mf_builditem_hasobjecttransform(item.get(), &hasTransform) != LIB3MF_OK ||
                (hasTransform && NMR::lib3mf_builditem_getobjecttransform(item.get(), &t) != LIB3MF_OK))
                return Fail(LastError(item.get()));
            items.emplace_back(id, hasTransform ? Transform::From(t) : Transform());
        }
        return true;
    }

    // The object of an id, fetched from lib3mf once.
    const ObjectInfo* Info(DWORD id) {
        const auto known = m_objects.find(id);
        if (known != m_objects.end()) return &known->second;
        ObjectInfo info;
        NMR::PLib3MFModelMeshObject* rawMesh = nullptr;
        NMR::PLib3MFModelComponentsObject* rawComponents = nullptr;
        if (NMR::lib3mf_model_getmeshobjectbyid(m_model, id, &rawMesh) == LIB3MF_OK && rawMesh) {
            const Handle mesh(rawMesh);
            info.isMesh = true;
            if (!FetchMesh(mesh.get(), info)) return nullptr;
        } else if (NMR::lib3mf_model_getcomponentsobjectbyid(m_model, id, &rawComponents) == LIB3MF_OK &&
                   rawComponents) {
            const Handle components(rawComponents);
            if (!FetchComponents(components.get(), info)) return nullptr;
        } else {
            Fail("object " + std::to_string(id) + " is neither a mesh nor a components object");
            return nullptr;
        }
        return &m_objects.emplace(id, std::move(info)).first->second;
    }

    bool FetchMesh(Object mesh, ObjectInfo& info) {
        DWORD vertexCount = 0, triangleCount = 0, got = 0;
        if (NMR::lib3mf_meshobject_getvertexcount(mesh, &vertexCount) != LIB3MF_OK ||
            NMR::lib3mf_meshobject_gettrianglecount(mesh, &triangleCount) != LIB3MF_OK)
            return Fail(LastError(mesh));
        info.vertices.resize(vertexCount);
        info.triangles.resize(triangleCount);
        if ((vertexCount &&
             NMR::lib3mf_meshobject_getvertices(mesh, info.vertices.data(), vertexCount, &got) != LIB3MF_OK) ||
            (triangleCount &&
             NMR::lib3mf_meshobject_gettriangleindices(mesh, info.triangles.data(), triangleCount, &got) != LIB3MF_OK))
            return Fail(LastError(mesh));
        return true;
    }

    bool FetchComponents(Object components, ObjectInfo& info) {
        DWORD count = 0;
        if (NMR::lib3mf_componentsobject_getcomponentcount(components, &count) != LIB3MF_OK)
            return Fail(LastError(components));
        for (DWORD i = 0; i < count; ++i) {
            NMR::PLib3MFModelComponent* rawComponent = nullptr;
            if (NMR::lib3mf_componentsobject_getcomponent(components, i, &rawComponent) != LIB3MF_OK)
                return Fail(LastError(components));
            const Handle component(rawComponent);
            DWORD child = 0;
            BOOL hasTransform = false;
            NMR::MODELTRANSFORM t{};
            if (NMR::lib3mf_component_getobjectresourceid(component.get(), &child) != LIB3MF_OK ||
                NMR::lib3mf_component_hastransform(component.get(), &hasTransform) != LIB3MF_OK ||
                (hasTransform && NMR::lib3mf_component_gettransform(component.get(), &t) != LIB3MF_OK))
                return Fail(LastError(component.get()));
            info.components.emplace_back(child, hasTransform ? Transform::From(t) : Transform());
        }
        return true;
    }

    // Totals of an object, by a depth-first walk with a stack of its own;
    // every object is measured once.  A cycle of components runs into the
    // depth limit.
    bool Measure(DWORD id, Totals& totals) {
        struct Frame {
            DWORD id;
            const ObjectInfo* info;
            size_t next;
            Totals sum;
        };
        std::vector<Frame> stack;
        auto open = [&](DWORD object) -> bool {
            if (m_measured.count(object)) return true;
            const ObjectInfo* info = Info(object);
            if (!info) return false;
            if (info->isMesh) {
                m_measured[object] = {info->triangles.size(), 1};
                return true;
            }
            if (stack.size() >= MeshReadLimits::kMax3mfComponentDepth)
                return Fail("components nested deeper than " + std::to_string(MeshReadLimits::kMax3mfComponentDepth));
            stack.push_back({object, info, 0, {0, 1}});
            return true;
        };
        if (!open(id)) return false;
        while (!stack.empty()) {
            Frame& top = stack.back();
            if (top.next < top.info->components.size()) {
                const DWORD child = top.info->components[top.next++].first;
                if (!open(child)) return false;
                const auto measured = m_measured.find(child);
                if (measured != m_measured.end()) stack.back().sum.Add(measured->second);
                continue;
            }
            const Frame done = top;
            stack.pop_back();
            m_measured[done.id] = done.sum;
            if (!stack.empty()) stack.back().sum.Add(done.sum);
        }
        totals = m_measured[id];
        return true;
    }

    // Places every mesh the object expands to, with a stack of pending
    // placements.
    bool Emit(DWORD id, const Transform& transform) {
        std::vector<std::pair<DWORD, Transform>> pending = {{id, transform}};
        while (!pending.empty()) {
            const auto [object, placed] = pending.back();
            pending.pop_back();
            const ObjectInfo& info = m_objects.at(object);
            if (info.isMesh) {
                if (!AddMesh(object, info, placed)) return false;
                continue;
            }
            for (const auto& [child, local] : info.components) pending.emplace_back(child, placed.After(local));
        }
        return true;
    }

    bool AddMesh(DWORD id, const ObjectInfo& mesh, const Transform& transform) {
        const std::string object = "object " + std::to_string(id);
        std::vector<FileVertex> points(mesh.vertices.size());
        std::string why;
        for (size_t v = 0; v < points.size(); ++v) {
            transform.Apply(mesh.vertices[v].m_fPosition, points[v].xyz);
            points[v].point = m_builder.Point(points[v].xyz, why);
            if (!points[v].point) return Fail(object + " vertex " + std::to_string(v) + ": " + why);
        }
        const bool mirrored = transform.Mirrors();
        for (size_t i = 0; i < mesh.triangles.size(); ++i) {
            if (i % kProgressEvery == 0 && !m_builder.Progress(0)) {
                m_error = "cancelled";
                return false;
            }
            uint32_t corners[3];
            for (int k = 0; k < 3; ++k) {
                corners[k] = mesh.triangles[i].m_nIndices[mirrored ? 2 - k : k];
                if (corners[k] >= points.size())
                    return Fail(object + " triangle " + std::to_string(i) + ": vertex index " +
                                std::to_string(corners[k]) + " out of range (" + std::to_string(points.size()) +
                                " vertices)");
            }
            if (!AddPolygon(m_builder, points, corners, 3, why))
                return Fail(object + " triangle " + std::to_string(i) + ": " + why);
        }
        return true;
    }

    bool Fail(const std::string& why) {
        m_error = m_builder.Label() + ": " + why;
        return false;
    }

    Object m_model;
    MeshBuilder& m_builder;
    std::string& m_error;
    std::unordered_map<DWORD, ObjectInfo> m_objects;
    std::unordered_map<DWORD, Totals> m_measured;
};

// The bytes lib3mf writes, kept in memory: its zip writer seeks back, which a
// pipe cannot do.
struct MemoryStream {
    std::string bytes;
    size_t position = 0;
};

uint32_t WriteToMemory(uint8_t* data, uint32_t size, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (s->position + size > s->bytes.size()) s->bytes.resize(s->position + size);
    std::memcpy(s->bytes.data() + s->position, data, size);
    s->position += size;
    return 0;
}

uint32_t SeekInMemory(uint64_t position, void* user) {
    auto* s = static_cast<MemoryStream*>(user);
    if (position > s->bytes.size()) return 1;
    s->position = size_t(position);
    return 0;
}

struct WriteProgress {
    OutputSink* out;
    int reported = 0;
};

bool OnWriteProgress(int percent, NMR::ProgressIdentifier, void* user) {
    auto* p = static_cast<WriteProgress*>(user);
    if (percent > p->reported) {
        p->out->Records(uint64_t(std::min(percent, 100) - p->reported));
        p->reported = std::min(percent, 100);
    }
    return p->out->Poll();
}

// A model holding one mesh object of the given vertices and triangles, and a
// build item of it.
bool MakeModel(Handle& model, const std::vector<NMR::MODELMESHVERTEX>& vertices,
               const std::vector<NMR::MODELMESHTRIANGLE>& triangles, const std::string& name, std::string& error) {
    model = NewModel();
    if (!model) {
        error = "lib3mf cannot create a model";
        return false;
    }
    NMR::PLib3MFModelMeshObject* rawMesh = nullptr;
    if (NMR::lib3mf_model_addmeshobject(model.get(), &rawMesh) != LIB3MF_OK) {
        error = LastError(model.get());
        return false;
    }
    const Handle mesh(rawMesh);
    // lib3mf refuses null arrays, even empty ones.
    NMR::MODELMESHVERTEX noVertex{};
    NMR::MODELMESHTRIANGLE noTriangle{};
    auto* v = vertices.empty() ? &noVertex : const_cast<NMR::MODELMESHVERTEX*>(vertices.data());
    auto* t = triangles.empty() ? &noTriangle : const_cast<NMR::MODELMESHTRIANGLE*>(triangles.data());
    NMR::PLib3MFModelBuildItem* rawItem = nullptr;
    if (NMR::lib3mf_meshobject_setgeometry(mesh.get(), v, DWORD(vertices.size()), t, DWORD(triangles.size())) !=
            LIB3MF_OK ||
        NMR::lib3mf_object_setnameutf8(mesh.get(), name.c_str()) != LIB3MF_OK ||
        NMR::lib3mf_model_addbuilditem(model.get(), mesh.get(), nullptr, &rawItem) != LIB3MF_OK) {
        error = LastError(mesh.get());
        return false;
    }
    Handle item(rawItem);
    return true;
}

bool WriteModel(Object model, MemoryStream& stream, WriteProgress* progress, std::string& error) {
    NMR::PLib3MFModelWriter* rawWriter = nullptr;
    if (NMR::lib3mf_model_querywriter(model, "3mf", &rawWriter) != LIB3MF_OK) {
        error = LastError(model);
        return false;
    }
    const Handle writer(rawWriter);
    if (progress && NMR::lib3mf_writer_setprogresscallback(writer.get(), OnWriteProgress, progress) != LIB3MF_OK) {
        error = LastError(writer.get());
        return false;
    }
    if (NMR::lib3mf_writer_writetocallback(writer.get(), reinterpret_cast<void*>(&WriteToMemory),
                                           reinterpret_cast<void*>(&SeekInMemory), &stream) != LIB3MF_OK) {
        error = LastError(writer.get());
        return false;
    }
    return true;
}

// A read model, or null with `error` set.
Handle ReadModel(std::string_view bytes, ReadProgress* progress, std::string& error) {
    Handle model = NewModel();
    NMR::PLib3MFModelReader* rawReader = nullptr;
    if (!model || NMR::lib3mf_model_queryreader(model.get(), "3mf", &rawReader) != LIB3MF_OK) {
        error = "lib3mf cannot create a reader";
        return nullptr;
    }
    const Handle reader(rawReader);
    if (progress) NMR::lib3mf_reader_setprogresscallback(reader.get(), OnReadProgress, progress);
    auto* data = reinterpret_cast<BYTE*>(const_cast<char*>(bytes.data()));
    if (NMR::lib3mf_reader_readfrombuffer(reader.get(), data, bytes.size()) != LIB3MF_OK) {
        error = progress && progress->cancelled ? "cancelled" : LastError(reader.get());
        return nullptr;
    }
    return model;
}

bool FloatVertices(const IndexedPoints& indexed, std::vector<NMR::MODELMESHVERTEX>& vertices, std::string& error) {
    vertices.resize(indexed.points.size());
    for (size_t i = 0; i < indexed.points.size(); ++i)
        for (int a = 0; a < 3; ++a) {
            const float f = ModelFloat(indexed.points[i]->Get(a));
            if (!(std::abs(f) < kMaxCoordinate)) {
                error = "3MF (lib3mf) holds coordinates below 1e9 model units, and point " +
                        DescribePoint(indexed.points[i]) + " is beyond";
                return false;
            }
            vertices[i].m_fPosition[a] = f;
        }
    return true;
}

// The first mesh object of a model (to be released by the caller), or null
// with `why` set.
Object FirstMeshObject(Object model, std::string& why) {
    NMR::PLib3MFModelResourceIterator* rawObjects = nullptr;
    if (NMR::lib3mf_model_getmeshobjects(model, &rawObjects) != LIB3MF_OK) {
        why = LastError(model);
        return nullptr;
    }
    const Handle objects(rawObjects);
    BOOL more = false;
    NMR::PLib3MFModelResource* rawResource = nullptr;
    if (NMR::lib3mf_resourceiterator_movenext(objects.get(), &more) != LIB3MF_OK || !more ||
        NMR::lib3mf_resourceiterator_getcurrent(objects.get(), &rawResource) != LIB3MF_OK) {
        why = "lib3mf lost the mesh";
        return nullptr;
    }
    const Handle resource(rawResource);
    DWORD id = 0;
    NMR::PLib3MFModelMeshObject* mesh = nullptr;
    if (NMR::lib3mf_resource_getresourceid(resource.get(), &id) != LIB3MF_OK ||
        NMR::lib3mf_model_getmeshobjectbyid(model, id, &mesh) != LIB3MF_OK) {
        why = LastError(model);
        return nullptr;
    }
    return mesh;
}

std::string MeshName(const MStlBase& mesh) {
    std::string name;
    for (wchar_t c : mesh.GetName()) name += (c >= L' ' && c < 0x7F) ? char(c) : '_';
    return name.empty() ? "mesh" : name;
}

}  // namespace

bool Has3mfSignature(std::string_view bytes) { return bytes.substr(0, 4) == std::string_view("PK\x03\x04", 4); }

bool Read3mf(std::string_view bytes, MeshBuilder& builder, std::string& error) {
    ReadProgress progress{&builder, bytes.size()};
    std::string why;
    const Handle model = ReadModel(bytes, &progress, why);
    if (!model) {
        error = why == "cancelled" ? why : builder.Label() + ": not a readable 3MF file: " + why;
        return false;
    }
    return BuildExpander(model.get(), builder, error).Expand();
}

bool Write3mf(OutputSink& out, const MStlBase& mesh, std::string& error) {
    if (!out.Poll()) return false;
    const IndexedPoints indexed(mesh);
    if (indexed.points.size() > kMaxCount || mesh.GetNumberOfTriangles() > kMaxCount) {
        error = "3MF (lib3mf) holds at most 2147483646 points and triangles";
        return false;
    }
    std::vector<NMR::MODELMESHVERTEX> vertices;
    if (!FloatVertices(indexed, vertices, error)) return false;
    std::vector<NMR::MODELMESHTRIANGLE> triangles;
    triangles.reserve(mesh.GetNumberOfTriangles());
    for (const MStlTriangleElement* t = mesh.GetFirstTriangle(); t; t = t->GetNext())
        triangles.push_back({{indexed.IndexOf(t->GetPoint(0)), indexed.IndexOf(t->GetPoint(1)),
                              indexed.IndexOf(t->GetPoint(2))}});
    Handle model;
    if (!MakeModel(model, vertices, triangles, MeshName(mesh), error)) return false;
    MemoryStream stream;
    WriteProgress progress{&out};
    if (!WriteModel(model.get(), stream, &progress, error)) return false;
    out.Write(stream.bytes);
    return true;
}

bool ThreeMfHoldsMesh(const MStlBase& mesh, std::string& why) {
    const IndexedPoints indexed(mesh);
    if (indexed.points.size() > kMaxCount || mesh.GetNumberOfTriangles() > kMaxCount) {
        why = "3MF (lib3mf) holds at most 2147483646 points and triangles";
        return false;
    }
    std::vector<NMR::MODELMESHVERTEX> vertices;
    if (!FloatVertices(indexed, vertices, why)) return false;
    // The points alone, written and read back by lib3mf.
    Handle model;
    MemoryStream stream;
    if (!MakeModel(model, vertices, {}, "points", why) || !WriteModel(model.get(), stream, nullptr, why)) return false;
    const Handle back = ReadModel(stream.bytes, nullptr, why);
    if (!back) return false;
    Object readMesh = FirstMeshObject(back.get(), why);
    if (!readMesh) return false;
    const Handle readMeshHandle(readMesh);
    std::vector<NMR::MODELMESHVERTEX> read(vertices.size());
    DWORD got = 0;
    if (!read.empty() &&
        NMR::lib3mf_meshobject_getvertices(readMesh, read.data(), DWORD(read.size()), &got) != LIB3MF_OK) {
        why = LastError(readMesh);
        return false;
    }
    uint64_t moved = 0;
    int32_t from[3] = {0, 0, 0}, to[3] = {0, 0, 0};
    for (size_t i = 0; i < read.size(); ++i) {
        int32_t back3[3];
        bool same = true;
        for (int a = 0; a < 3; ++a) {
            if (*ToSteps(read[i].m_fPosition[a], back3[a])) back3[a] = INT32_MAX;
            same = same && back3[a] == indexed.points[i]->Get(a);
        }
        if (same) continue;
        if (moved++ == 0)
            for (int a = 0; a < 3; ++a) {
                from[a] = indexed.points[i]->Get(a);
                to[a] = back3[a];
            }
    }
    if (moved == 0) return true;
    why = MovedPoints("3MF (lib3mf) stores 32-bit floats with six decimals", moved, read.size(), from, to);
    return false;
}

}  // namespace meshio
