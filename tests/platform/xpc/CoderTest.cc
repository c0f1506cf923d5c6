#include "platform/xpc/Coder.h"

#include <gtest/gtest.h>

#include <atomic>
#include <limits>

#include "platform/xpc/ClassRegistry.h"
#include "platform/xpc/WireFormat.h"

namespace xpc {
namespace {

std::atomic<int> pointsBuilt{0};

class TestPoint final : public Codable {
 public:
  TestPoint(std::int64_t x, bool visible, std::string label) : x_(x), visible_(visible), label_(std::move(label)) {}
  explicit TestPoint(Coder& c)
      : x_(c.decodeInt64("x")), visible_(c.decodeBool("visible")), label_(c.decodeStringForKey("label").value_or("")) {
    ++pointsBuilt;
  }
  static const ClassInfo& codableClass() {
    static constexpr ClassInfo kClass{"TestPoint", BuiltinClass::none, &makeCodable<TestPoint>};
    return kClass;
  }
  const ClassInfo& classInfo() const override { return codableClass(); }
  void encode(Coder& c) const override {
    c.encodeInt64(x_, "x");
    c.encodeBool(visible_, "visible");
    c.encodeObject(label_, "label");
  }
  std::int64_t x_;
  bool visible_;
  std::string label_;
};

class TestBox final : public Codable {
 public:
  TestBox(std::shared_ptr<const TestPoint> point, std::vector<std::shared_ptr<const TestPoint>> points)
      : point_(std::move(point)), points_(std::move(points)) {}
  explicit TestBox(Coder& c) : point_(c.decodeObjectOfClass<TestPoint>("point")) {
    Object list = c.decodeObjectOfClasses(ClassSet{&classes::NSArray, &TestPoint::codableClass()}, "points");
    if (const auto* a = list.asArray()) {
      for (const Object& o : *a) points_.push_back(o.as<TestPoint>());
    }
    error_ = c.decodeObjectOfClass(classes::NSError, "error");
  }
  static const ClassInfo& codableClass() {
    static constexpr ClassInfo kClass{"TestBox", BuiltinClass::none, &makeCodable<TestBox>};
    return kClass;
  }
  const ClassInfo& classInfo() const override { return codableClass(); }
  void encode(Coder& c) const override {
    c.encodeObject(point_, "point");
    c.encodeObject(points_, "points");
    c.encodeObject(error_, "error");
  }
  std::shared_ptr<const TestPoint> point_;
  std::vector<std::shared_ptr<const TestPoint>> points_;
  Object error_;
};

const ClassSet kBoxOnly{&TestBox::codableClass()};

TEST(Coder, KeyedObjectsRoundTripEveryKindOfField) {
  foundation::Error inner("NSPOSIXErrorDomain", 2, foundation::UserInfo{{"NSLocalizedDescription", "No such file"}});
  foundation::Error outer("com.vandrel.corvane.vfs.xpc", -5,
                          foundation::UserInfo{{"corvane.error.code", "not_found"},
                                               {"attempt", std::int64_t{-7}},
                                               {"NSUnderlyingError", foundation::nested(inner)}});
  auto box = std::make_shared<TestBox>(
      std::make_shared<TestPoint>(std::numeric_limits<std::int64_t>::min(), true, "ünïcode ✓"),
      std::vector<std::shared_ptr<const TestPoint>>{std::make_shared<TestPoint>(1, false, ""),
                                                    std::make_shared<TestPoint>(-1, true, "b")});
  box->error_ = Object::error(outer);

  auto bytes = Coder::archive(Object::codable(box));
  auto decoded = Coder::unarchive(kBoxOnly, bytes.data(), bytes.size());
  ASSERT_TRUE(decoded);
  auto back = decoded->as<TestBox>();
  ASSERT_TRUE(back);
  EXPECT_EQ(back->point_->x_, std::numeric_limits<std::int64_t>::min());
  EXPECT_TRUE(back->point_->visible_);
  EXPECT_EQ(back->point_->label_, "ünïcode ✓");
  ASSERT_EQ(back->points_.size(), 2u);
  EXPECT_EQ(back->points_[1]->label_, "b");
  ASSERT_TRUE(back->error_.asError());
  EXPECT_EQ(*back->error_.asError(), outer);
}

TEST(Coder, MissingKeysReadAsNilFalseAndZero) {
  wire::ByteWriter w;
  std::size_t at = codec::beginContainer(w, wire::Tag::object);
  w.text("TestPoint");
  w.u32(0);
  codec::endContainer(w, at);
  auto decoded = Coder::unarchive(ClassSet{&TestPoint::codableClass()}, w.bytes().data(), w.size());
  ASSERT_TRUE(decoded);
  auto p = decoded->as<TestPoint>();
  EXPECT_EQ(p->x_, 0);
  EXPECT_FALSE(p->visible_);
  EXPECT_EQ(p->label_, "");
}

struct Refusal {
  const char* name;
  wire::Bytes bytes;
  ClassSet allowed;
};

// A TestBox archive whose "point" holds `value` instead of a TestPoint.
wire::Bytes boxWithPoint(const Object& value) {
  wire::ByteWriter w;
  std::size_t at = codec::beginContainer(w, wire::Tag::object);
  w.text("TestBox");
  w.u32(1);
  w.text("point");
  codec::writeObject(w, value);
  codec::endContainer(w, at);
  return w.take();
}

TEST(Coder, ClassesOutsideTheAllowListAreRefusedBeforeAnythingIsBuilt) {
  auto point = Object::codable(std::make_shared<TestPoint>(1, true, "p"));
  const ClassSet pointOnly{&TestPoint::codableClass()};
  const Refusal kCases[] = {
      {"TopLevelOfAnotherClass", Coder::archive(point), kBoxOnly},
      {"TextWhereOnlyKeyedClassesMayBe", Coder::archive(Object::string("x")), pointOnly},
      {"ArrayWithoutArrayAllowed", Coder::archive(Object::array({point})), pointOnly},
      {"ArrayElementOfAnotherClass", Coder::archive(Object::array({Object::string("x"), point})),
       ClassSet{&classes::NSArray, &TestPoint::codableClass()}},
      {"NestedObjectOfAnotherClass",
       boxWithPoint(
           Object::codable(std::make_shared<TestBox>(nullptr, std::vector<std::shared_ptr<const TestPoint>>{}))),
       kBoxOnly},
  };
  for (const Refusal& c : kCases) {
    SCOPED_TRACE(c.name);
    pointsBuilt = 0;
    codec::Status status = codec::Status::ok;
    EXPECT_FALSE(Coder::unarchive(c.allowed, c.bytes.data(), c.bytes.size(), &status));
    EXPECT_EQ(status, codec::Status::refused);
    EXPECT_EQ(pointsBuilt.load(), 0);
  }
}

TEST(Coder, AScalarOfTheWrongKindRefusesTheArchive) {
  wire::ByteWriter w;
  std::size_t at = codec::beginContainer(w, wire::Tag::object);
  w.text("TestPoint");
  w.u32(1);
  w.text("visible");
  codec::writeInt64(w, 1);  // decodeBool meets an integer
  codec::endContainer(w, at);
  codec::Status status = codec::Status::ok;
  EXPECT_FALSE(Coder::unarchive(ClassSet{&TestPoint::codableClass()}, w.bytes().data(), w.size(), &status));
  EXPECT_EQ(status, codec::Status::refused);
}

TEST(ClassRegistry, FindsBuiltInAndRegisteredClassesByPlainName) {
  ClassRegistry::add(TestPoint::codableClass());
  ClassRegistry::add(TestPoint::codableClass());  // idempotent
  EXPECT_EQ(ClassRegistry::find("TestPoint"), &TestPoint::codableClass());
  EXPECT_EQ(ClassRegistry::find("NSArray"), &classes::NSArray);
  EXPECT_EQ(ClassRegistry::find("NoSuchClass"), nullptr);
  ClassSet set = ClassRegistry::named({"NSArray", "TestPoint"});
  EXPECT_TRUE(set.contains(classes::NSArray));
  EXPECT_TRUE(set.contains(TestPoint::codableClass()));
  EXPECT_FALSE(set.contains(classes::NSString));
}

}  // namespace
}  // namespace xpc
