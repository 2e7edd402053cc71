// Reading the path line through OGR (see line_reader.h).
#include "profile/line_reader.h"

#include <cmath>
#include <cstdio>

#include <ogrsf_frmts.h>

#include "profile/gdal_io.h"
#include "profile/text_escape.h"

namespace torla::profile {

namespace {

std::string name_attribute(OGRFeature& f) {
    for (int i = 0; i < f.GetFieldCount(); ++i)
        if (EQUAL(f.GetFieldDefnRef(i)->GetNameRef(), "name") && f.IsFieldSetAndNotNull(i))
            return f.GetFieldAsString(i);
    return "";
}

// The line of a feature (a multi-line of one part too); nullptr for other
// geometries. `parts' is set for a multi-line.
const OGRLineString* line_of(const OGRGeometry* g, int& parts) {
    parts = 1;
    if (!g) return nullptr;
    const auto type = wkbFlatten(g->getGeometryType());
    if (type == wkbLineString) return g->toLineString();
    if (type != wkbMultiLineString) return nullptr;
    const auto* m = g->toMultiLineString();
    parts = m->getNumGeometries();
    return parts >= 1 ? m->getGeometryRef(0) : nullptr;
}

// Every line of every layer, in file order.
std::vector<LineCandidate> read_lines(const std::string& path) {
    Dataset ds = open_dataset(path, GDAL_OF_VECTOR, "path line");
    std::vector<LineCandidate> out;
    for (int l = 0; l < ds->GetLayerCount(); ++l) {
        OGRLayer* layer = ds->GetLayer(l);
        layer->ResetReading();
        for (auto& f : *layer) {
            LineCandidate c;
            const OGRLineString* line = line_of(f->GetGeometryRef(), c.parts);
            if (!line) continue;
            c.layer = layer->GetName();
            c.name = name_attribute(*f);
            c.fid = f->GetFID();
            c.where = feature_text(path, layer, c.fid);
            if (c.parts == 1)
                for (int i = 0; i < line->getNumPoints(); ++i)
                    c.points.emplace_back(line->getX(i), line->getY(i));
            c.crs = crs_of(f->GetGeometryRef(), layer);
            out.push_back(std::move(c));
        }
    }
    return out;
}

std::string describe(const std::vector<LineCandidate>& lines) {
    std::string out;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        out += "\n  " + std::to_string(i) + ": layer \"" + escaped(lines[i].layer) +
               "\", feature " + std::to_string(lines[i].fid);
        if (!lines[i].name.empty()) out += ", name \"" + escaped(lines[i].name) + "\"";
        if (lines[i].parts != 1)
            out += ", " + std::to_string(lines[i].parts) + " parts (not usable)";
        else
            out += ", " + std::to_string(lines[i].points.size()) + " vertices";
    }
    return out;
}

std::size_t chosen(const Options& o, const std::vector<LineCandidate>& lines) {
    const std::string file = escaped(o.line_path);
    if (o.line_index) {
        if (*o.line_index < 0 || static_cast<std::size_t>(*o.line_index) >= lines.size())
            throw Refusal(file + ": --line-index " + std::to_string(*o.line_index) +
                          ": there are " + std::to_string(lines.size()) +
                          " lines:" + describe(lines));
        return static_cast<std::size_t>(*o.line_index);
    }
    if (o.line_name) {
        std::vector<std::size_t> hits;
        for (std::size_t i = 0; i < lines.size(); ++i)
            if (lines[i].name == *o.line_name) hits.push_back(i);
        if (hits.size() != 1)
            throw Refusal(
                file + ": --line \"" + escaped(*o.line_name) +
                "\": " + (hits.empty() ? "no line has this name" : "several lines have this name") +
                "; the lines are:" + describe(lines));
        return hits[0];
    }
    if (lines.size() > 1)
        throw Refusal(file + ": " + std::to_string(lines.size()) +
                      " lines; pick one with --line NAME or --line-index K:" + describe(lines));
    return 0;
}

}  // namespace

LineCandidate pick_line(const Options& o) {
    std::vector<LineCandidate> lines = read_lines(o.line_path);
    if (lines.empty()) throw Refusal(escaped(o.line_path) + ": no line in any layer");
    LineCandidate c = std::move(lines[chosen(o, lines)]);
    if (c.parts != 1)
        throw Refusal(c.where + ": a multi-line of " + std::to_string(c.parts) +
                      " parts; join them into one line");
    if (c.points.size() < 2) throw Refusal(c.where + ": a line needs at least two vertices");
    for (std::size_t i = 0; i < c.points.size(); ++i)
        if (!std::isfinite(c.points[i].first) || !std::isfinite(c.points[i].second)) {
            char xy[96];
            std::snprintf(xy, sizeof xy, "(%g, %g)", c.points[i].first, c.points[i].second);
            throw Refusal(c.where + ", vertex " + std::to_string(i) + ": coordinate " + xy +
                          " is not a finite number");
        }
    return c;
}

}  // namespace torla::profile
