#include "program2/form_description.h"

namespace tarvex {
namespace {

constexpr Rgb kFrameBack{192, 255, 192};
constexpr Rgb kFrameCaption{255, 0, 255};
constexpr Rgb kLabelBack{255, 255, 192};
constexpr Rgb kGreenBox{128, 255, 128};
constexpr Rgb kRedBox{255, 128, 128};
constexpr Rgb kBlueBox{128, 128, 255};
constexpr Rgb kYellowBox{255, 255, 0};

ControlDesign Frame(const std::string& name, int l, int t, int w, int h, const std::string& caption,
                    int tab, bool magenta) {
  ControlDesign c;
  c.name = name;
  c.kind = ControlKind::kFrame;
  c.left = l, c.top = t, c.width = w, c.height = h;
  c.text = caption;
  c.back_color = kFrameBack;
  if (magenta) c.caption_color = kFrameCaption;
  c.tab_index = tab;
  return c;
}

ControlDesign TextBox(const std::string& name, int index, const std::string& container, int l,
                      int t, int w, int h, const std::string& text, std::optional<Rgb> back,
                      bool right, bool read_only, int tab) {
  ControlDesign c;
  c.name = name;
  c.index = index;
  c.kind = ControlKind::kTextBox;
  c.container = container;
  c.left = l, c.top = t, c.width = w, c.height = h;
  c.text = text;
  c.back_color = back;
  c.align_right = right;
  c.read_only = read_only;
  c.tab_index = tab;
  return c;
}

ControlDesign Label(const std::string& name, int index, const std::string& container, int l, int t,
                    int w, int h, const std::string& caption, int tab) {
  ControlDesign c;
  c.name = name;
  c.index = index;
  c.kind = ControlKind::kLabel;
  c.container = container;
  c.left = l, c.top = t, c.width = w, c.height = h;
  c.text = caption;
  c.back_color = kLabelBack;
  c.tab_index = tab;
  return c;
}

ControlDesign ImageControl(const std::string& name, Image image, int l, int t, int w, int h,
                           Picture picture) {
  ControlDesign c;
  c.name = name;
  c.kind = ControlKind::kImage;
  c.left = l, c.top = t, c.width = w, c.height = h;
  c.picture = picture;
  c.image = image;
  return c;
}

}  // namespace

std::string ControlDesign::ObjectName() const {
  return index >= 0 ? name + "(" + std::to_string(index) + ")" : name;
}

std::string BoxName(const Program& program, Box box) {
  const int b = static_cast<int>(box);
  if (box <= Box::kTimNbT) return program.timer_box_names[static_cast<std::size_t>(b)];
  if (box <= Box::kInfo12)
    return "txt_Info(" + std::to_string(b - static_cast<int>(Box::kInfo3) + 3) + ")";
  return "txt_InfoK(" + std::to_string(b - static_cast<int>(Box::kInfoK0)) + ")";
}

FormDesign DescribeForm(const Program& p) {
  FormDesign f;
  f.name = p.form_name;
  f.caption = p.caption;
  f.back_color = {192, 192, 255};
  f.client_width = 6300;
  f.client_height = 3690;
  auto& c = f.controls;
  const bool magenta = p.magenta_frame_captions;
  const auto& tn = p.timer_box_names;
  const auto& ln = p.timer_label_names;
  const std::optional<Rgb> none;

  c.push_back(Frame("FrameT", 3840, 120, 1815, 1695, "Timer", 23, magenta));
  c.push_back(
      TextBox(tn[0], -1, "FrameT", 1200, 240, 495, 285, p.initial_period, none, true, false, 27));
  c.push_back(TextBox(tn[1], -1, "FrameT", 1200, 600, 495, 285, "1", kBlueBox, true, false, 26));
  c.push_back(TextBox(tn[2], -1, "FrameT", 1200, 960, 495, 285, "0",
                      p.timer_box_colours ? std::optional<Rgb>(kGreenBox) : none, true, true, 25));
  c.push_back(TextBox(tn[3], -1, "FrameT", 1200, 1320, 495, 285, "0",
                      p.timer_box_colours ? std::optional<Rgb>(kGreenBox) : none, true, true, 24));
  if (p.timer_tooltips) {
    c[1].tooltip = "Periodicity Between Actions (minutes)";
    c[2].tooltip =
        "Remaining Time before Next Action (minutes) (double-Click for immediate Action)";
    c[3].tooltip = "Elapsed Time since Program Started (minutes)";
    c[4].tooltip = "Number of Times Action was Processed";
  } else {
    c[3].flat = c[4].flat = true;  // drawn like the boxes of the other frames
  }
  for (int i = 0; i < 4; ++i) c[static_cast<std::size_t>(i) + 1].box = static_cast<Box>(i);

  ControlDesign timer;
  timer.name = "Timer1";
  timer.kind = ControlKind::kTimer;
  timer.container = p.timer_in_frame ? "FrameT" : "";
  timer.timer_interval_ms = 60000;
  c.push_back(timer);

  c.push_back(Label(ln[0], -1, "FrameT", 120, 240, 975, 255, "Periodicity:", 31));
  c.push_back(Label(ln[1], -1, "FrameT", 120, 600, 975, 255, "Remaining:", 30));
  c.push_back(Label(ln[2], -1, "FrameT", 120, 960, 975, 255, "Elapsed:", 29));
  c.push_back(Label(ln[3], -1, "FrameT", 120, 1320, 975, 255, "NbTimes:", 28));

  c.push_back(Frame("FrameR", 120, 2640, 6135, 975, "Totals", 20, magenta));
  const int lefts[] = {1800, 3000, 3960, 5160};
  const int widths[] = {1095, 855, 1095, 855};
  for (int i = 5; i <= 12; ++i) {
    const int col = (i - 5) % 4;
    const int top = i <= 8 ? 240 : 600;
    auto box = TextBox("txt_Info", i, "FrameR", lefts[col], top, widths[col], 285, "0",
                       col < 2 ? kGreenBox : kRedBox, true, true, i + 1);
    box.flat = true;
    box.box = Info(i);
    c.push_back(box);
  }
  c.push_back(Label("lbl_Info", 4, "FrameR", 120, 240, 1575, 255, "Totals (Size / Nbr):", 22));
  c.push_back(Label("lbl_Info", 5, "FrameR", 120, 600, 1575, 255, "GdTotals (Size / Nbr):", 21));

  c.push_back(Frame("FrameP", 120, 1920, 6135, 615, "File in Progress", 19, magenta));
  auto path = TextBox("txt_Info", 3, "FrameP", 120, 240, 4695, 285, "", kYellowBox, false, true, 4);
  auto size =
      TextBox("txt_Info", 4, "FrameP", 4920, 240, 1095, 285, "0", kYellowBox, true, true, 5);
  path.flat = size.flat = true;
  path.box = Info(3);
  size.box = Info(4);
  c.push_back(path);
  c.push_back(size);

  c.push_back(Frame("FrameK", 120, 120, 3615, 1695, "Constants", 14, magenta));
  for (int i = 0; i < 4; ++i) {
    auto k =
        TextBox("txt_InfoK", i, "FrameK", 1200, 240 + 360 * i, 2295, 285, "", none, false, true, i);
    k.flat = true;
    k.box = InfoK(i);
    c.push_back(k);
  }
  const char* const kCaptions[] = {"Source Path:", "Target Path:", "Source Files:", "Log File:"};
  for (int i = 0; i < 4; ++i) {
    c.push_back(
        Label("lbl_InfoK", i, "FrameK", 120, 240 + 360 * i, 975, 255, kCaptions[i], 18 - i));
  }

  c.push_back(ImageControl("img_Ico", Image::kIco, 5760, 1320, 495, 495, Picture::kNone));
  c.push_back(ImageControl("img_Bad", Image::kBad, 5760, 720, 480, 480, Picture::kSnowflake));
  c.push_back(ImageControl("img_Goo", Image::kGoo, 5760, 120, 480, 480, Picture::kSun));

  for (const auto& [object_name, tab] : p.tab_order) {
    for (auto& control : c) {
      if (control.ObjectName() == object_name) control.tab_index = tab;
    }
  }
  return f;
}

}  // namespace tarvex
