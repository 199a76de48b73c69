<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="zh_CN">
<context>
    <name>MainWidget</name>
    <message>
        <source>Cannot save the settings to %1.</source>
        <translation>无法将设置保存到 %1。</translation>
    </message>
    <message>
        <source>Stop the recording before opening a recording.</source>
        <translation>请先停止录制，再打开录制文件。</translation>
    </message>
    <message>
        <source>A cut or an export is running; open the recording when it has ended.</source>
        <translation>剪切或导出正在进行，请在其结束后再打开录制文件。</translation>
    </message>
    <message>
        <source>Open Recent</source>
        <translation>最近打开</translation>
    </message>
    <message>
        <source>No recent recordings</source>
        <translation>没有最近的录制文件</translation>
    </message>
    <message>
        <source>Clear Recent</source>
        <translation>清除最近记录</translation>
    </message>
    <message>
        <source>Cannot open %1: %2.</source>
        <translation>无法打开 %1：%2。</translation>
    </message>
    <message>
        <source>no such file</source>
        <translation>文件不存在</translation>
    </message>
    <message>
        <source>not a raw recording (*.raw)</source>
        <translation>不是 raw 录制文件（*.raw）</translation>
    </message>
    <message>
        <source>not a readable file</source>
        <translation>不是可读的文件</translation>
    </message>
    <message>
        <source>File</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>设备</translation>
    </message>
    <message>
        <source>Setting</source>
        <translation>设置</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>帮助</translation>
    </message>
    <message>
        <source>Tools</source>
        <translation>工具</translation>
    </message>
    <message>
        <source>Open Recording</source>
        <translation>打开录制文件</translation>
    </message>
    <message>
        <source>Save as...</source>
        <translation>另存为...</translation>
    </message>
    <message>
        <source>Cut Recording</source>
        <translation>剪切录制文件</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>退出</translation>
    </message>
    <message>
        <source>Open Camera</source>
        <translation>打开相机</translation>
    </message>
    <message>
        <source>Camera Info</source>
        <translation>相机信息</translation>
    </message>
    <message>
        <source>General Setting</source>
        <translation>通用设置</translation>
    </message>
    <message>
        <source>About us</source>
        <translation>关于我们</translation>
    </message>
    <message>
        <source>IP Configuration</source>
        <translation>IP 配置</translation>
    </message>
    <message>
        <source>Toggle Start/End Point</source>
        <translation>切换起止点</translation>
    </message>
    <message>
        <source>Tips</source>
        <translation>提示</translation>
    </message>
    <message>
        <source>The language change will take effect after restart.</source>
        <translation>语言切换将在重启后生效。</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>重启</translation>
    </message>
    <message>
        <source>Later</source>
        <translation>稍后</translation>
    </message>
    <message>
        <source>There is a conflict between the camera ip and the local ip!</source>
        <translation>相机 IP 与本机 IP 冲突！</translation>
    </message>
    <message>
        <source>The camera ip is not in the same network segment as the local ip!</source>
        <translation>相机 IP 与本机 IP 不在同一网段！</translation>
    </message>
    <message>
        <source>Open camera: </source>
        <translation>打开相机：</translation>
    </message>
    <message>
        <source>failed.</source>
        <translation>失败。</translation>
    </message>
    <message>
        <source>Cannot record into %1: %2</source>
        <translation>无法录制到 %1：%2</translation>
    </message>
    <message>
        <source>Recording %1 is incomplete: %2</source>
        <translation>录制文件 %1 不完整：%2</translation>
    </message>
    <message>
        <source>camera disconnected</source>
        <translation>相机已断开连接</translation>
    </message>
    <message>
        <source>Save file success!</source>
        <translation>文件保存成功！</translation>
    </message>
    <message>
        <source> Bandwidth: </source>
        <translation> 带宽：</translation>
    </message>
    <message>
        <source> Events: </source>
        <translation> 事件：</translation>
    </message>
    <message>
        <source>Play/Stop</source>
        <translation>播放/停止</translation>
    </message>
    <message>
        <source>Start/Stop recording</source>
        <translation>开始/停止录制</translation>
    </message>
    <message>
        <source>Previous frame</source>
        <translation>上一帧</translation>
    </message>
    <message>
        <source>Next frame</source>
        <translation>下一帧</translation>
    </message>
    <message>
        <source>Reset the playback progress to the beginning</source>
        <translation>将播放进度重置到开头</translation>
    </message>
    <message>
        <source>Select to automatically replay at the end of the playback</source>
        <translation>选中后播放结束时自动重播</translation>
    </message>
    <message>
        <source>Camera</source>
        <translation>相机</translation>
    </message>
    <message>
        <source>Live time %1</source>
        <translation>实时时间 %1</translation>
    </message>
    <message>
        <source>Please connect camera first.</source>
        <translation>请先连接相机。</translation>
    </message>
    <message>
        <source>Event view</source>
        <translation>事件视图</translation>
    </message>
    <message>
        <source>Frame view</source>
        <translation>图像视图</translation>
    </message>
    <message>
        <source>Fusion view</source>
        <translation>融合视图</translation>
    </message>
    <message>
        <source>Viewer settings</source>
        <translation>显示设置</translation>
    </message>
    <message>
        <source>Select a raw file</source>
        <translation>选择录像文件</translation>
    </message>
    <message>
        <source>RAW files (*.raw)</source>
        <translation>RAW 文件 (*.raw)</translation>
    </message>
    <message>
        <source>Please open a raw file first.</source>
        <translation>请先打开录像文件。</translation>
    </message>
    <message>
        <source>Camera Setting</source>
        <translation>相机设置</translation>
    </message>
    <message>
        <source>DVS Setting</source>
        <translation>DVS 设置</translation>
    </message>
    <message>
        <source>APS Setting (fusion cameras)</source>
        <translation>APS 设置（融合相机）</translation>
    </message>
    <message>
        <source>DVS</source>
        <translation>DVS</translation>
    </message>
    <message>
        <source>APS</source>
        <translation>APS</translation>
    </message>
</context>
<context>
    <name>CamerasList</name>
    <message>
        <source>Open a camera</source>
        <translation>打开相机</translation>
    </message>
    <message>
        <source>Camera List</source>
        <translation>相机列表</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>打开</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
</context>
<context>
    <name>ShowCameraInfoUI</name>
    <message>
        <source>Camera Info</source>
        <translation>相机信息</translation>
    </message>
    <message>
        <source>Serial :</source>
        <translation>序列号：</translation>
    </message>
    <message>
        <source>Product: </source>
        <translation>产品：</translation>
    </message>
    <message>
        <source>Manufacturer:</source>
        <translation>制造商：</translation>
    </message>
    <message>
        <source>Firmware version :</source>
        <translation>固件版本：</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Interface:</source>
        <translation>接口：</translation>
    </message>
    <message>
        <source>IP address:</source>
        <translation>IP 地址：</translation>
    </message>
    <message>
        <source>Resolution:</source>
        <translation>分辨率：</translation>
    </message>
    <message>
        <source>Ethernet</source>
        <translation>以太网</translation>
    </message>
</context>
<context>
    <name>ZvGeneralSetting</name>
    <message>
        <source>The settings apply now but could not be saved to %1.</source>
        <translation>设置已生效，但无法保存到 %1。</translation>
    </message>
    <message>
        <source>ZvGerenalSetting</source>
        <translation>通用设置</translation>
    </message>
    <message>
        <source>General Setting</source>
        <translation>通用设置</translation>
    </message>
    <message>
        <source>File</source>
        <translation>文件</translation>
    </message>
    <message>
        <source>Style</source>
        <translation>样式</translation>
    </message>
    <message>
        <source>File Settings</source>
        <translation>文件设置</translation>
    </message>
    <message>
        <source>Default Out Raw File Path</source>
        <translation>默认输出 Raw 文件路径</translation>
    </message>
    <message>
        <source>Default Video File Path</source>
        <translation>默认视频文件路径</translation>
    </message>
    <message>
        <source>Trigger In File Save Settings</source>
        <translation>触发输入文件保存设置</translation>
    </message>
    <message>
        <source>Enable</source>
        <translation>启用</translation>
    </message>
    <message>
        <source>Trigger Edge</source>
        <translation>触发边沿</translation>
    </message>
    <message>
        <source>Rising Edge</source>
        <translation>上升沿</translation>
    </message>
    <message>
        <source>Falling Edge</source>
        <translation>下降沿</translation>
    </message>
    <message>
        <source>Before Trigger In Save Time (sec):</source>
        <translation>触发前保存时间（秒）：</translation>
    </message>
    <message>
        <source>After Trigger In Save Time (sec):</source>
        <translation>触发后保存时间（秒）：</translation>
    </message>
    <message>
        <source>Theme</source>
        <translation>主题</translation>
    </message>
    <message>
        <source>Events Color</source>
        <translation>事件颜色</translation>
    </message>
    <message>
        <source>Gray</source>
        <translation>灰色</translation>
    </message>
    <message>
        <source>Dark</source>
        <translation>深色</translation>
    </message>
    <message>
        <source>RedBlue</source>
        <translation>红蓝</translation>
    </message>
    <message>
        <source>RedGreen</source>
        <translation>红绿</translation>
    </message>
    <message>
        <source>Light</source>
        <translation>浅色</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>保存</translation>
    </message>
    <message>
        <source>Tips</source>
        <translation>提示</translation>
    </message>
</context>
<context>
    <name>ZvFilePathReminderForm</name>
    <message>
        <source>Success</source>
        <translation>成功</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>警告</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>错误</translation>
    </message>
    <message>
        <source>Open Dir</source>
        <translation>打开目录</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
</context>
<context>
    <name>ZvFileRecorder</name>
    <message>
        <source>its outcome is unknown: the camera went on to another recording</source>
        <translation>结果未知：相机已开始另一段录制</translation>
    </message>
    <message>
        <source>Recording file ... </source>
        <translation>正在录制文件 ... </translation>
    </message>
    <message>
        <source>Currently being recorded.</source>
        <translation>正在录制中。</translation>
    </message>
    <message>
        <source>Recording end</source>
        <translation>录制结束</translation>
    </message>
    <message>
        <source>Cannot record into %1: %2</source>
        <translation>无法录制到 %1：%2</translation>
    </message>
    <message>
        <source>Recording %1 is incomplete: %2</source>
        <translation>录制文件 %1 不完整：%2</translation>
    </message>
    <message>
        <source>the previous recording is still being assembled</source>
        <translation>上一个录制文件仍在合成中</translation>
    </message>
    <message>
        <source>the camera is recording into %1</source>
        <translation>相机正在录制到 %1</translation>
    </message>
    <message>
        <source>the camera does not record</source>
        <translation>相机未开始录制</translation>
    </message>
    <message>
        <source>%1; the empty file was removed</source>
        <translation>%1；空文件已删除</translation>
    </message>
    <message>
        <source>data were lost</source>
        <translation>数据有丢失</translation>
    </message>
</context>
<context>
    <name>InitDialog</name>
    <message>
        <source>Version: </source>
        <translation>版本：</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Select Directory</source>
        <translation>选择目录</translation>
    </message>
</context>
<context>
    <name>ShowImageForm</name>
    <message>
        <source>Open a camera (Device &gt; Open Camera) or a recording (File &gt; Open Recording)</source>
        <translation>打开相机（设备 &gt; 打开相机）或录制文件（文件 &gt; 打开录制文件）</translation>
    </message>
</context>
<context>
    <name>AboutDialog</name>
    <message>
        <source>About us</source>
        <translation>关于我们</translation>
    </message>
    <message>
        <source>Current version: %1</source>
        <translation>当前版本：%1</translation>
    </message>
    <message>
        <source>Driver library: %1</source>
        <translation>驱动库：%1</translation>
    </message>
    <message>
        <source>ZelvanScope uses the Qt library %1 under the GNU Lesser General Public License version 3 (LGPL v3).</source>
        <translation>ZelvanScope 使用 Qt 库 %1，遵循 GNU 宽通用公共许可证第 3 版（LGPL v3）。</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
</context>
<context>
    <name>ZvExportVideoUI</name>
    <message>
        <source>ZvExportVideoUI</source>
        <translation>导出视频</translation>
    </message>
    <message>
        <source>Export a video</source>
        <translation>导出视频</translation>
    </message>
    <message>
        <source>Start Time</source>
        <translation>开始时间</translation>
    </message>
    <message>
        <source>End Time</source>
        <translation>结束时间</translation>
    </message>
    <message>
        <source>Save File Path</source>
        <translation>保存路径</translation>
    </message>
    <message>
        <source>File Name</source>
        <translation>文件名</translation>
    </message>
    <message>
        <source>Select Directory</source>
        <translation>选择目录</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>导出</translation>
    </message>
</context>
<context>
    <name>ZvCutRawFile</name>
    <message>
        <source>ZvCutRawFile</source>
        <translation>剪切录像</translation>
    </message>
    <message>
        <source>Cut Recording</source>
        <translation>剪切录像</translation>
    </message>
    <message>
        <source>Start Time</source>
        <translation>开始时间</translation>
    </message>
    <message>
        <source>End Time</source>
        <translation>结束时间</translation>
    </message>
    <message>
        <source>Save File Path</source>
        <translation>保存路径</translation>
    </message>
    <message>
        <source>File Name</source>
        <translation>文件名</translation>
    </message>
    <message>
        <source>Select Directory</source>
        <translation>选择目录</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Cut</source>
        <translation>剪切</translation>
    </message>
</context>
<context>
    <name>ZvEventProcessor</name>
    <message>
        <source>Loading cancelled.</source>
        <translation>已取消加载。</translation>
    </message>
    <message>
        <source>Cut cancelled.</source>
        <translation>已取消剪切。</translation>
    </message>
    <message>
        <source>Export cancelled.</source>
        <translation>已取消导出。</translation>
    </message>
    <message>
        <source>Load raw file failed: </source>
        <translation>加载录像文件失败：</translation>
    </message>
    <message>
        <source>Export raw file success!</source>
        <translation>导出录像文件成功！</translation>
    </message>
    <message>
        <source>Export video success!</source>
        <translation>导出视频成功！</translation>
    </message>
    <message>
        <source>No recording is loaded.</source>
        <translation>没有已加载的录像文件。</translation>
    </message>
    <message>
        <source>A cut or an export is already running.</source>
        <translation>已有剪切或导出任务正在进行。</translation>
    </message>
    <message>
        <source>Export raw file failed: </source>
        <translation>导出录像文件失败：</translation>
    </message>
    <message>
        <source>Export video failed: </source>
        <translation>导出视频失败：</translation>
    </message>
</context>
<context>
    <name>WaitingWindow</name>
    <message>
        <source>Cancel</source>
        <translation>取消</translation>
    </message>
    <message>
        <source>Cancelling...</source>
        <translation>正在取消...</translation>
    </message>
</context>
<context>
    <name>RangeFileDialog</name>
    <message>
        <source>%1 already exists. Replace it?</source>
        <translation>%1 已存在，是否替换？</translation>
    </message>
    <message>
        <source>Replace File</source>
        <translation>替换文件</translation>
    </message>
    <message>
        <source>Select Directory</source>
        <translation>选择目录</translation>
    </message>
</context>
<context>
    <name>RecordingController</name>
    <message>
        <source>a trigger-in recording is running</source>
        <translation>触发录制正在进行</translation>
    </message>
    <message>
        <source>The trigger-in settings apply when the current recording ends.</source>
        <translation>触发录制设置将在当前录制结束后生效。</translation>
    </message>
    <message>
        <source>the previous recording is still being assembled</source>
        <translation>上一个录制文件仍在合成中</translation>
    </message>
    <message>
        <source>Cannot record into %1: %2</source>
        <translation>无法录制到 %1：%2</translation>
    </message>
    <message>
        <source>Save file success!</source>
        <translation>文件保存成功！</translation>
    </message>
    <message>
        <source>Recording %1 is incomplete: %2</source>
        <translation>录制文件 %1 不完整：%2</translation>
    </message>
</context>
<context>
    <name>SettingItem</name>
    <message>
        <source>Enable</source>
        <translation>启用</translation>
    </message>
    <message>
        <source>Mode</source>
        <translation>模式</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>类型</translation>
    </message>
    <message>
        <source>Threshold</source>
        <translation>阈值</translation>
    </message>
    <message>
        <source>Offset X</source>
        <translation>X 偏移</translation>
    </message>
    <message>
        <source>Offset Y</source>
        <translation>Y 偏移</translation>
    </message>
</context>
<context>
    <name>SettingBaseWithLineEdit</name>
    <message>
        <source>Decrease</source>
        <translation>减小</translation>
    </message>
    <message>
        <source>Increase</source>
        <translation>增加</translation>
    </message>
</context>
<context>
    <name>SettingBaseWithSwitchButton</name>
    <message>
        <source>Enable</source>
        <translation>启用</translation>
    </message>
</context>
<context>
    <name>SettingItemBox</name>
    <message>
        <source>Fold</source>
        <translation>收起</translation>
    </message>
    <message>
        <source>Unfold</source>
        <translation>展开</translation>
    </message>
</context>
<context>
    <name>SettingDisplayItem</name>
    <message>
        <source>Accumulation time</source>
        <translation>累积时间</translation>
    </message>
    <message>
        <source>Slow Rate</source>
        <translation>慢放倍率</translation>
    </message>
    <message>
        <source>Event time shown in one frame: a number with &quot;ms&quot; or &quot;us&quot;, from 1us to 1000ms.</source>
        <translation>一帧显示的事件时间：数字加 “ms” 或 “us”，范围 1us 到 1000ms。</translation>
    </message>
    <message>
        <source>How many times slower than real time recordings play: 1 is real time, 2 half speed (0.03 to 1000).</source>
        <translation>录制文件回放比实时慢的倍数：1 为实时，2 为半速（0.03 到 1000）。</translation>
    </message>
</context>
<context>
    <name>ZvEthCameraConfigTool</name>
    <message>
        <source>Eth Camera Config</source>
        <translation>以太网相机配置</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>关闭</translation>
    </message>
    <message>
        <source>Camera List</source>
        <translation>相机列表</translation>
    </message>
    <message>
        <source>Serial : </source>
        <translation>序列号：</translation>
    </message>
    <message>
        <source>Product: </source>
        <translation>产品：</translation>
    </message>
    <message>
        <source>Manufacturer: </source>
        <translation>制造商：</translation>
    </message>
    <message>
        <source>Firmware version :</source>
        <translation>固件版本：</translation>
    </message>
    <message>
        <source>IP Address:</source>
        <translation>IP 地址：</translation>
    </message>
    <message>
        <source>Subnet Mask:</source>
        <translation>子网掩码：</translation>
    </message>
    <message>
        <source>Gateway:</source>
        <translation>网关：</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>Config</source>
        <translation>配置</translation>
    </message>
    <message>
        <source>Refresh completed!</source>
        <translation>刷新完成！</translation>
    </message>
    <message>
        <source>Configuration successful!</source>
        <translation>配置成功！</translation>
    </message>
    <message>
        <source>Configuration failed!</source>
        <translation>配置失败！</translation>
    </message>
    <message>
        <source>The camera search failed.</source>
        <translation>相机搜索失败。</translation>
    </message>
</context>
<context>
    <name>SidebarDvsSettingUI</name>
    <message>
        <source>%1 already exists. Replace it?</source>
        <translation>%1 已存在，是否替换？</translation>
    </message>
    <message>
        <source>DVS Setting</source>
        <translation>DVS 设置</translation>
    </message>
    <message>
        <source>Biases</source>
        <translation>偏置</translation>
    </message>
    <message>
        <source>Trigger In</source>
        <translation>触发输入</translation>
    </message>
    <message>
        <source>Anti Flicker</source>
        <translation>抗闪烁</translation>
    </message>
    <message>
        <source>Event Rate Control</source>
        <translation>事件速率控制</translation>
    </message>
    <message>
        <source>Event Trail Filter</source>
        <translation>事件拖尾滤波</translation>
    </message>
    <message>
        <source>ROI</source>
        <translation>ROI</translation>
    </message>
    <message>
        <source>Default</source>
        <translation>默认</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>加载</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>导出</translation>
    </message>
    <message>
        <source>Load the default camera parameters</source>
        <translation>加载默认相机参数</translation>
    </message>
    <message>
        <source>Read the parameters back from the camera</source>
        <translation>从相机重新读取参数</translation>
    </message>
    <message>
        <source>Load camera parameters from a file</source>
        <translation>从文件加载相机参数</translation>
    </message>
    <message>
        <source>Export the camera parameters to a file</source>
        <translation>将相机参数导出到文件</translation>
    </message>
    <message>
        <source>Open a camera to adjust its settings here.</source>
        <translation>打开相机后可在此调整其设置。</translation>
    </message>
    <message>
        <source>The saved camera parameters in %1 were not all applied: %2.</source>
        <translation>%1 中保存的相机参数未能全部应用：%2。</translation>
    </message>
    <message>
        <source>%1: the camera refused %2 = %3.</source>
        <translation>%1：相机拒绝了 %2 = %3。</translation>
    </message>
    <message>
        <source>the file cannot be read</source>
        <translation>无法读取该文件</translation>
    </message>
    <message>
        <source>the file is not JSON</source>
        <translation>该文件不是 JSON</translation>
    </message>
    <message>
        <source>the file is not an object of tools and their parameters</source>
        <translation>该文件不是由工具及其参数组成的对象</translation>
    </message>
    <message>
        <source>the file cannot be written</source>
        <translation>无法写入该文件</translation>
    </message>
    <message>
        <source>a value cannot be read from the camera</source>
        <translation>无法从相机读取某个值</translation>
    </message>
    <message>
        <source>The camera took the new value, but it cannot be recorded in %1: %2.</source>
        <translation>相机已接受新值，但无法记录到 %1：%2。</translation>
    </message>
    <message>
        <source>Cannot read %1 from the camera.</source>
        <translation>无法从相机读取 %1。</translation>
    </message>
    <message>
        <source>ROI selected successfully.</source>
        <translation>ROI 选择成功。</translation>
    </message>
    <message>
        <source>Failed to apply ROI selection.</source>
        <translation>应用 ROI 选择失败。</translation>
    </message>
    <message>
        <source>no camera is open</source>
        <translation>未打开相机</translation>
    </message>
    <message>
        <source>%1 does not exist</source>
        <translation>%1 不存在</translation>
    </message>
    <message>
        <source>the camera refused the default of %1.%2</source>
        <translation>相机拒绝了 %1.%2 的默认值</translation>
    </message>
    <message>
        <source>Camera parameters loaded; %1.</source>
        <translation>相机参数已加载；%1。</translation>
    </message>
    <message>
        <source>Camera parameters loaded successfully.</source>
        <translation>相机参数加载成功。</translation>
    </message>
    <message>
        <source>Camera parameters loaded failed: %1.</source>
        <translation>相机参数加载失败：%1。</translation>
    </message>
    <message>
        <source>Failed to load camera parameters: %1.</source>
        <translation>加载相机参数失败：%1。</translation>
    </message>
    <message>
        <source>Failed to export camera parameters: %1.</source>
        <translation>导出相机参数失败：%1。</translation>
    </message>
    <message>
        <source>Camera parameters exported successfully.</source>
        <translation>相机参数导出成功。</translation>
    </message>
    <message>
        <source>Select a JSON file</source>
        <translation>选择 JSON 文件</translation>
    </message>
    <message>
        <source>Json file (*.json)</source>
        <translation>JSON 文件 (*.json)</translation>
    </message>
    <message>
        <source>no error</source>
        <translation>无错误</translation>
    </message>
    <message>
        <source>the file cannot be opened</source>
        <translation>无法打开该文件</translation>
    </message>
    <message>
        <source>a tool the camera lacks was skipped</source>
        <translation>已跳过相机没有的工具</translation>
    </message>
    <message>
        <source>a value of an unsupported type was skipped</source>
        <translation>已跳过类型不受支持的值</translation>
    </message>
    <message>
        <source>the file names a parameter the camera lacks</source>
        <translation>文件中有相机没有的参数</translation>
    </message>
    <message>
        <source>a value is of the wrong type</source>
        <translation>有值的类型不对</translation>
    </message>
    <message>
        <source>the camera refused a value</source>
        <translation>相机拒绝了某个值</translation>
    </message>
    <message>
        <source>setting a parameter failed</source>
        <translation>设置参数失败</translation>
    </message>
    <message>
        <source>unknown error</source>
        <translation>未知错误</translation>
    </message>
</context>
<context>
    <name>SidebarCameraSettingUI</name>
    <message>
        <source>Camera Setting</source>
        <translation>相机设置</translation>
    </message>
    <message>
        <source>Display</source>
        <translation>显示</translation>
    </message>
</context>
<context>
    <name>MainWidget</name>
    <message>
        <source>The recording %1 is incomplete: data were lost or could not be written.</source>
        <translation>录制文件 %1 不完整：数据丢失或无法写入。</translation>
    </message>
    <message>
        <source>The Tandra camera firmware needs to be upgraded!</source>
        <translation>Tandra 相机固件需要升级！</translation>
    </message>
    <message>
        <source>The camera's calibration cannot be used; the default calibration is shown.</source>
        <translation>相机的标定参数不可用，当前使用默认标定。</translation>
    </message>
    <message>
        <source>The camera's calibration cannot be read; the default calibration is shown.</source>
        <translation>无法读取相机的标定参数，当前使用默认标定。</translation>
    </message>
    <message>
        <source>Start the camera before recording.</source>
        <translation>请先启动相机再录制。</translation>
    </message>
    <message>
        <source>Cannot start recording into %1.</source>
        <translation>无法在 %1 中开始录制。</translation>
    </message>
    <message>
        <source>The camera could not be started; check its connection.</source>
        <translation>无法启动相机，请检查相机连接。</translation>
    </message>
    <message>
        <source>The camera stopped, but a recording of it could not be completed.</source>
        <translation>相机已停止，但其录制文件未能完整保存。</translation>
    </message>
</context>
<context>
    <name>ZvFusionCameraDataProcessor</name>
    <message>
        <source>Frames of the recording that cannot be decoded are skipped.</source>
        <translation>录像中无法解码的帧已跳过。</translation>
    </message>
    <message>
        <source>Loading cancelled.</source>
        <translation>已取消加载。</translation>
    </message>
    <message>
        <source>The calibration %1 cannot be used; the default calibration is shown.</source>
        <translation>标定文件 %1 不可用，当前使用默认标定。</translation>
    </message>
    <message>
        <source>Cannot load the frames of the recording: %1.</source>
        <translation>无法加载录制文件的图像帧：%1。</translation>
    </message>
    <message>
        <source>Cannot read the first frame of %1.</source>
        <translation>无法读取 %1 的第一帧。</translation>
    </message>
    <message>
        <source>Cannot load the events of the recording: %1.</source>
        <translation>无法加载录制文件的事件：%1。</translation>
    </message>
    <message>
        <source>Manual calibration parameters were written successfully!</source>
        <translation>手动标定参数写入成功！</translation>
    </message>
    <message>
        <source>Manual calibration parameters were written failed!</source>
        <translation>手动标定参数写入失败！</translation>
    </message>
    <message>
        <source>There is no frame at %1; the frame shown stays.</source>
        <translation>%1 处没有图像帧，保持显示当前帧。</translation>
    </message>
</context>
<context>
    <name>SidebarApsSettingUI</name>
    <message>
        <source>APS Setting</source>
        <translation>APS 设置</translation>
    </message>
    <message>
        <source>APS Manual Calibration</source>
        <translation>APS 手动标定</translation>
    </message>
    <message>
        <source>Set aps offset x.</source>
        <translation>设置 APS 的 X 偏移。</translation>
    </message>
    <message>
        <source>Set aps offset y.</source>
        <translation>设置 APS 的 Y 偏移。</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>应用</translation>
    </message>
    <message>
        <source>Store the corrected calibration in the camera</source>
        <translation>将修正后的标定写入相机</translation>
    </message>
    <message>
        <source>The camera is no longer connected.</source>
        <translation>相机已断开连接。</translation>
    </message>
    <message>
        <source>Camera parameters loaded failed.</source>
        <translation>相机参数加载失败。</translation>
    </message>
    <message>
        <source>Failed to load camera parameters.</source>
        <translation>加载相机参数失败。</translation>
    </message>
    <message>
        <source>Failed to export camera parameters.</source>
        <translation>导出相机参数失败。</translation>
    </message>
    <message>
        <source>Default</source>
        <translation>默认</translation>
    </message>
    <message>
        <source>Load the default camera parameters</source>
        <translation>加载默认相机参数</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>刷新</translation>
    </message>
    <message>
        <source>Read the parameters back from the camera</source>
        <translation>从相机重新读取参数</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>加载</translation>
    </message>
    <message>
        <source>Load camera parameters from a file</source>
        <translation>从文件加载相机参数</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>导出</translation>
    </message>
    <message>
        <source>Export the camera parameters to a file</source>
        <translation>将相机参数导出到文件</translation>
    </message>
    <message>
        <source>Offset X</source>
        <translation>X 偏移</translation>
    </message>
    <message>
        <source>Offset Y</source>
        <translation>Y 偏移</translation>
    </message>
    <message>
        <source>APS</source>
        <translation>APS</translation>
    </message>
    <message>
        <source>%1: the camera refused %2 = %3.</source>
        <translation>%1：相机拒绝了 %2 = %3。</translation>
    </message>
    <message>
        <source>Cannot read %1 from the camera.</source>
        <translation>无法从相机读取 %1。</translation>
    </message>
    <message>
        <source>Camera parameters loaded; %1.</source>
        <translation>相机参数已加载；%1。</translation>
    </message>
    <message>
        <source>Camera parameters loaded successfully.</source>
        <translation>相机参数加载成功。</translation>
    </message>
    <message>
        <source>Camera parameters exported successfully.</source>
        <translation>相机参数导出成功。</translation>
    </message>
    <message>
        <source>Select a JSON file</source>
        <translation>选择 JSON 文件</translation>
    </message>
    <message>
        <source>Json file (*.json)</source>
        <translation>JSON 文件 (*.json)</translation>
    </message>
</context>
</TS>
