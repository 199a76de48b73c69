<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US">
<context>
    <name>MainWidget</name>
    <message>
        <source>Cannot save the settings to %1.</source>
        <translation>Cannot save the settings to %1.</translation>
    </message>
    <message>
        <source>Stop the recording before opening a recording.</source>
        <translation>Stop the recording before opening a recording.</translation>
    </message>
    <message>
        <source>A cut or an export is running; open the recording when it has ended.</source>
        <translation>A cut or an export is running; open the recording when it has ended.</translation>
    </message>
    <message>
        <source>Open Recent</source>
        <translation>Open Recent</translation>
    </message>
    <message>
        <source>No recent recordings</source>
        <translation>No recent recordings</translation>
    </message>
    <message>
        <source>Clear Recent</source>
        <translation>Clear Recent</translation>
    </message>
    <message>
        <source>Cannot open %1: %2.</source>
        <translation>Cannot open %1: %2.</translation>
    </message>
    <message>
        <source>no such file</source>
        <translation>no such file</translation>
    </message>
    <message>
        <source>not a raw recording (*.raw)</source>
        <translation>not a raw recording (*.raw)</translation>
    </message>
    <message>
        <source>not a readable file</source>
        <translation>not a readable file</translation>
    </message>
    <message>
        <source>File</source>
        <translation>File</translation>
    </message>
    <message>
        <source>Device</source>
        <translation>Device</translation>
    </message>
    <message>
        <source>Setting</source>
        <translation>Setting</translation>
    </message>
    <message>
        <source>Help</source>
        <translation>Help</translation>
    </message>
    <message>
        <source>Tools</source>
        <translation>Tools</translation>
    </message>
    <message>
        <source>Open Recording</source>
        <translation>Open Recording</translation>
    </message>
    <message>
        <source>Save as...</source>
        <translation>Save as...</translation>
    </message>
    <message>
        <source>Cut Recording</source>
        <translation>Cut Recording</translation>
    </message>
    <message>
        <source>Quit</source>
        <translation>Quit</translation>
    </message>
    <message>
        <source>Open Camera</source>
        <translation>Open Camera</translation>
    </message>
    <message>
        <source>Camera Info</source>
        <translation>Camera Info</translation>
    </message>
    <message>
        <source>General Setting</source>
        <translation>General Setting</translation>
    </message>
    <message>
        <source>About us</source>
        <translation>About us</translation>
    </message>
    <message>
        <source>IP Configuration</source>
        <translation>IP Configuration</translation>
    </message>
    <message>
        <source>Toggle Start/End Point</source>
        <translation>Toggle Start/End Point</translation>
    </message>
    <message>
        <source>Tips</source>
        <translation>Tips</translation>
    </message>
    <message>
        <source>The language change will take effect after restart.</source>
        <translation>The language change will take effect after restart.</translation>
    </message>
    <message>
        <source>Restart</source>
        <translation>Restart</translation>
    </message>
    <message>
        <source>Later</source>
        <translation>Later</translation>
    </message>
    <message>
        <source>There is a conflict between the camera ip and the local ip!</source>
        <translation>There is a conflict between the camera ip and the local ip!</translation>
    </message>
    <message>
        <source>The camera ip is not in the same network segment as the local ip!</source>
        <translation>The camera ip is not in the same network segment as the local ip!</translation>
    </message>
    <message>
        <source>Open camera: </source>
        <translation>Open camera: </translation>
    </message>
    <message>
        <source>failed.</source>
        <translation>failed.</translation>
    </message>
    <message>
        <source>Cannot record into %1: %2</source>
        <translation>Cannot record into %1: %2</translation>
    </message>
    <message>
        <source>Recording %1 is incomplete: %2</source>
        <translation>Recording %1 is incomplete: %2</translation>
    </message>
    <message>
        <source>camera disconnected</source>
        <translation>camera disconnected</translation>
    </message>
    <message>
        <source>Save file success!</source>
        <translation>Save file success!</translation>
    </message>
    <message>
        <source> Bandwidth: </source>
        <translation> Bandwidth: </translation>
    </message>
    <message>
        <source> Events: </source>
        <translation> Events: </translation>
    </message>
    <message>
        <source>Play/Stop</source>
        <translation>Play/Stop</translation>
    </message>
    <message>
        <source>Start/Stop recording</source>
        <translation>Start/Stop recording</translation>
    </message>
    <message>
        <source>Previous frame</source>
        <translation>Previous frame</translation>
    </message>
    <message>
        <source>Next frame</source>
        <translation>Next frame</translation>
    </message>
    <message>
        <source>Reset the playback progress to the beginning</source>
        <translation>Reset the playback progress to the beginning</translation>
    </message>
    <message>
        <source>Select to automatically replay at the end of the playback</source>
        <translation>Select to automatically replay at the end of the playback</translation>
    </message>
    <message>
        <source>Camera</source>
        <translation>Camera</translation>
    </message>
    <message>
        <source>Live time %1</source>
        <translation>Live time %1</translation>
    </message>
    <message>
        <source>Please connect camera first.</source>
        <translation>Please connect camera first.</translation>
    </message>
    <message>
        <source>Event view</source>
        <translation>Event view</translation>
    </message>
    <message>
        <source>Frame view</source>
        <translation>Frame view</translation>
    </message>
    <message>
        <source>Fusion view</source>
        <translation>Fusion view</translation>
    </message>
    <message>
        <source>Viewer settings</source>
        <translation>Viewer settings</translation>
    </message>
    <message>
        <source>Select a raw file</source>
        <translation>Select a raw file</translation>
    </message>
    <message>
        <source>RAW files (*.raw)</source>
        <translation>RAW files (*.raw)</translation>
    </message>
    <message>
        <source>Please open a raw file first.</source>
        <translation>Please open a raw file first.</translation>
    </message>
    <message>
        <source>Camera Setting</source>
        <translation>Camera Setting</translation>
    </message>
    <message>
        <source>DVS Setting</source>
        <translation>DVS Setting</translation>
    </message>
    <message>
        <source>APS Setting (fusion cameras)</source>
        <translation>APS Setting (fusion cameras)</translation>
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
        <translation>Open a camera</translation>
    </message>
    <message>
        <source>Camera List</source>
        <translation>Camera List</translation>
    </message>
    <message>
        <source>Open</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>ShowCameraInfoUI</name>
    <message>
        <source>Camera Info</source>
        <translation>Camera Info</translation>
    </message>
    <message>
        <source>Serial :</source>
        <translation>Serial :</translation>
    </message>
    <message>
        <source>Product: </source>
        <translation>Product: </translation>
    </message>
    <message>
        <source>Manufacturer:</source>
        <translation>Manufacturer:</translation>
    </message>
    <message>
        <source>Firmware version :</source>
        <translation>Firmware version :</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Interface:</source>
        <translation>Interface:</translation>
    </message>
    <message>
        <source>IP address:</source>
        <translation>IP address:</translation>
    </message>
    <message>
        <source>Resolution:</source>
        <translation>Resolution:</translation>
    </message>
    <message>
        <source>Ethernet</source>
        <translation>Ethernet</translation>
    </message>
</context>
<context>
    <name>ZvGeneralSetting</name>
    <message>
        <source>The settings apply now but could not be saved to %1.</source>
        <translation>The settings apply now but could not be saved to %1.</translation>
    </message>
    <message>
        <source>ZvGerenalSetting</source>
        <translation>ZvGerenalSetting</translation>
    </message>
    <message>
        <source>General Setting</source>
        <translation>General Setting</translation>
    </message>
    <message>
        <source>File</source>
        <translation>File</translation>
    </message>
    <message>
        <source>Style</source>
        <translation>Style</translation>
    </message>
    <message>
        <source>File Settings</source>
        <translation>File Settings</translation>
    </message>
    <message>
        <source>Default Out Raw File Path</source>
        <translation>Default Out Raw File Path</translation>
    </message>
    <message>
        <source>Default Video File Path</source>
        <translation>Default Video File Path</translation>
    </message>
    <message>
        <source>Trigger In File Save Settings</source>
        <translation>Trigger In File Save Settings</translation>
    </message>
    <message>
        <source>Enable</source>
        <translation>Enable</translation>
    </message>
    <message>
        <source>Trigger Edge</source>
        <translation>Trigger Edge</translation>
    </message>
    <message>
        <source>Rising Edge</source>
        <translation>Rising Edge</translation>
    </message>
    <message>
        <source>Falling Edge</source>
        <translation>Falling Edge</translation>
    </message>
    <message>
        <source>Before Trigger In Save Time (sec):</source>
        <translation>Before Trigger In Save Time (sec):</translation>
    </message>
    <message>
        <source>After Trigger In Save Time (sec):</source>
        <translation>After Trigger In Save Time (sec):</translation>
    </message>
    <message>
        <source>Theme</source>
        <translation>Theme</translation>
    </message>
    <message>
        <source>Events Color</source>
        <translation>Events Color</translation>
    </message>
    <message>
        <source>Gray</source>
        <translation>Gray</translation>
    </message>
    <message>
        <source>Dark</source>
        <translation>Dark</translation>
    </message>
    <message>
        <source>RedBlue</source>
        <translation>RedBlue</translation>
    </message>
    <message>
        <source>RedGreen</source>
        <translation>RedGreen</translation>
    </message>
    <message>
        <source>Light</source>
        <translation>Light</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Save</source>
        <translation>Save</translation>
    </message>
    <message>
        <source>Tips</source>
        <translation>Tips</translation>
    </message>
</context>
<context>
    <name>ZvFilePathReminderForm</name>
    <message>
        <source>Success</source>
        <translation>Success</translation>
    </message>
    <message>
        <source>Warning</source>
        <translation>Warning</translation>
    </message>
    <message>
        <source>Error</source>
        <translation>Error</translation>
    </message>
    <message>
        <source>Open Dir</source>
        <translation>Open Dir</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>ZvFileRecorder</name>
    <message>
        <source>its outcome is unknown: the camera went on to another recording</source>
        <translation>its outcome is unknown: the camera went on to another recording</translation>
    </message>
    <message>
        <source>Recording file ... </source>
        <translation>Recording file ... </translation>
    </message>
    <message>
        <source>Currently being recorded.</source>
        <translation>Currently being recorded.</translation>
    </message>
    <message>
        <source>Recording end</source>
        <translation>Recording end</translation>
    </message>
    <message>
        <source>Cannot record into %1: %2</source>
        <translation>Cannot record into %1: %2</translation>
    </message>
    <message>
        <source>Recording %1 is incomplete: %2</source>
        <translation>Recording %1 is incomplete: %2</translation>
    </message>
    <message>
        <source>the previous recording is still being assembled</source>
        <translation>the previous recording is still being assembled</translation>
    </message>
    <message>
        <source>the camera is recording into %1</source>
        <translation>the camera is recording into %1</translation>
    </message>
    <message>
        <source>the camera does not record</source>
        <translation>the camera does not record</translation>
    </message>
    <message>
        <source>%1; the empty file was removed</source>
        <translation>%1; the empty file was removed</translation>
    </message>
    <message>
        <source>data were lost</source>
        <translation>data were lost</translation>
    </message>
</context>
<context>
    <name>InitDialog</name>
    <message>
        <source>Version: </source>
        <translation>Version: </translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>Select Directory</source>
        <translation>Select Directory</translation>
    </message>
</context>
<context>
    <name>ShowImageForm</name>
    <message>
        <source>Open a camera (Device &gt; Open Camera) or a recording (File &gt; Open Recording)</source>
        <translation>Open a camera (Device &gt; Open Camera) or a recording (File &gt; Open Recording)</translation>
    </message>
</context>
<context>
    <name>AboutDialog</name>
    <message>
        <source>About us</source>
        <translation>About us</translation>
    </message>
    <message>
        <source>Current version: %1</source>
        <translation>Current version: %1</translation>
    </message>
    <message>
        <source>Driver library: %1</source>
        <translation>Driver library: %1</translation>
    </message>
    <message>
        <source>ZelvanScope uses the Qt library %1 under the GNU Lesser General Public License version 3 (LGPL v3).</source>
        <translation>ZelvanScope uses the Qt library %1 under the GNU Lesser General Public License version 3 (LGPL v3).</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>ZvExportVideoUI</name>
    <message>
        <source>ZvExportVideoUI</source>
        <translation>ZvExportVideoUI</translation>
    </message>
    <message>
        <source>Export a video</source>
        <translation>Export a video</translation>
    </message>
    <message>
        <source>Start Time</source>
        <translation>Start Time</translation>
    </message>
    <message>
        <source>End Time</source>
        <translation>End Time</translation>
    </message>
    <message>
        <source>Save File Path</source>
        <translation>Save File Path</translation>
    </message>
    <message>
        <source>File Name</source>
        <translation>File Name</translation>
    </message>
    <message>
        <source>Select Directory</source>
        <translation>Select Directory</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>Export</translation>
    </message>
</context>
<context>
    <name>ZvCutRawFile</name>
    <message>
        <source>ZvCutRawFile</source>
        <translation>ZvCutRawFile</translation>
    </message>
    <message>
        <source>Cut Recording</source>
        <translation>Cut Recording</translation>
    </message>
    <message>
        <source>Start Time</source>
        <translation>Start Time</translation>
    </message>
    <message>
        <source>End Time</source>
        <translation>End Time</translation>
    </message>
    <message>
        <source>Save File Path</source>
        <translation>Save File Path</translation>
    </message>
    <message>
        <source>File Name</source>
        <translation>File Name</translation>
    </message>
    <message>
        <source>Select Directory</source>
        <translation>Select Directory</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Cut</source>
        <translation>Cut</translation>
    </message>
</context>
<context>
    <name>ZvEventProcessor</name>
    <message>
        <source>Loading cancelled.</source>
        <translation>Loading cancelled.</translation>
    </message>
    <message>
        <source>Cut cancelled.</source>
        <translation>Cut cancelled.</translation>
    </message>
    <message>
        <source>Export cancelled.</source>
        <translation>Export cancelled.</translation>
    </message>
    <message>
        <source>Load raw file failed: </source>
        <translation>Load raw file failed: </translation>
    </message>
    <message>
        <source>Export raw file success!</source>
        <translation>Export raw file success!</translation>
    </message>
    <message>
        <source>Export video success!</source>
        <translation>Export video success!</translation>
    </message>
    <message>
        <source>No recording is loaded.</source>
        <translation>No recording is loaded.</translation>
    </message>
    <message>
        <source>A cut or an export is already running.</source>
        <translation>A cut or an export is already running.</translation>
    </message>
    <message>
        <source>Export raw file failed: </source>
        <translation>Export raw file failed: </translation>
    </message>
    <message>
        <source>Export video failed: </source>
        <translation>Export video failed: </translation>
    </message>
</context>
<context>
    <name>WaitingWindow</name>
    <message>
        <source>Cancel</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>Cancelling...</source>
        <translation>Cancelling...</translation>
    </message>
</context>
<context>
    <name>RangeFileDialog</name>
    <message>
        <source>%1 already exists. Replace it?</source>
        <translation>%1 already exists. Replace it?</translation>
    </message>
    <message>
        <source>Replace File</source>
        <translation>Replace File</translation>
    </message>
    <message>
        <source>Select Directory</source>
        <translation>Select Directory</translation>
    </message>
</context>
<context>
    <name>RecordingController</name>
    <message>
        <source>a trigger-in recording is running</source>
        <translation>a trigger-in recording is running</translation>
    </message>
    <message>
        <source>The trigger-in settings apply when the current recording ends.</source>
        <translation>The trigger-in settings apply when the current recording ends.</translation>
    </message>
    <message>
        <source>the previous recording is still being assembled</source>
        <translation>the previous recording is still being assembled</translation>
    </message>
    <message>
        <source>Cannot record into %1: %2</source>
        <translation>Cannot record into %1: %2</translation>
    </message>
    <message>
        <source>Save file success!</source>
        <translation>Save file success!</translation>
    </message>
    <message>
        <source>Recording %1 is incomplete: %2</source>
        <translation>Recording %1 is incomplete: %2</translation>
    </message>
</context>
<context>
    <name>SettingItem</name>
    <message>
        <source>Enable</source>
        <translation>Enable</translation>
    </message>
    <message>
        <source>Mode</source>
        <translation>Mode</translation>
    </message>
    <message>
        <source>Type</source>
        <translation>Type</translation>
    </message>
    <message>
        <source>Threshold</source>
        <translation>Threshold</translation>
    </message>
    <message>
        <source>Offset X</source>
        <translation>Offset X</translation>
    </message>
    <message>
        <source>Offset Y</source>
        <translation>Offset Y</translation>
    </message>
</context>
<context>
    <name>SettingBaseWithLineEdit</name>
    <message>
        <source>Decrease</source>
        <translation>Decrease</translation>
    </message>
    <message>
        <source>Increase</source>
        <translation>Increase</translation>
    </message>
</context>
<context>
    <name>SettingBaseWithSwitchButton</name>
    <message>
        <source>Enable</source>
        <translation>Enable</translation>
    </message>
</context>
<context>
    <name>SettingItemBox</name>
    <message>
        <source>Fold</source>
        <translation>Fold</translation>
    </message>
    <message>
        <source>Unfold</source>
        <translation>Unfold</translation>
    </message>
</context>
<context>
    <name>SettingDisplayItem</name>
    <message>
        <source>Accumulation time</source>
        <translation>Accumulation time</translation>
    </message>
    <message>
        <source>Slow Rate</source>
        <translation>Slow Rate</translation>
    </message>
    <message>
        <source>Event time shown in one frame: a number with &quot;ms&quot; or &quot;us&quot;, from 1us to 1000ms.</source>
        <translation>Event time shown in one frame: a number with &quot;ms&quot; or &quot;us&quot;, from 1us to 1000ms.</translation>
    </message>
    <message>
        <source>How many times slower than real time recordings play: 1 is real time, 2 half speed (0.03 to 1000).</source>
        <translation>How many times slower than real time recordings play: 1 is real time, 2 half speed (0.03 to 1000).</translation>
    </message>
</context>
<context>
    <name>ZvEthCameraConfigTool</name>
    <message>
        <source>Eth Camera Config</source>
        <translation>Eth Camera Config</translation>
    </message>
    <message>
        <source>Close</source>
        <translation>Close</translation>
    </message>
    <message>
        <source>Camera List</source>
        <translation>Camera List</translation>
    </message>
    <message>
        <source>Serial : </source>
        <translation>Serial : </translation>
    </message>
    <message>
        <source>Product: </source>
        <translation>Product: </translation>
    </message>
    <message>
        <source>Manufacturer: </source>
        <translation>Manufacturer: </translation>
    </message>
    <message>
        <source>Firmware version :</source>
        <translation>Firmware version :</translation>
    </message>
    <message>
        <source>IP Address:</source>
        <translation>IP Address:</translation>
    </message>
    <message>
        <source>Subnet Mask:</source>
        <translation>Subnet Mask:</translation>
    </message>
    <message>
        <source>Gateway:</source>
        <translation>Gateway:</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>Config</source>
        <translation>Config</translation>
    </message>
    <message>
        <source>Refresh completed!</source>
        <translation>Refresh completed!</translation>
    </message>
    <message>
        <source>Configuration successful!</source>
        <translation>Configuration successful!</translation>
    </message>
    <message>
        <source>Configuration failed!</source>
        <translation>Configuration failed!</translation>
    </message>
    <message>
        <source>The camera search failed.</source>
        <translation>The camera search failed.</translation>
    </message>
</context>
<context>
    <name>SidebarDvsSettingUI</name>
    <message>
        <source>%1 already exists. Replace it?</source>
        <translation>%1 already exists. Replace it?</translation>
    </message>
    <message>
        <source>DVS Setting</source>
        <translation>DVS Setting</translation>
    </message>
    <message>
        <source>Biases</source>
        <translation>Biases</translation>
    </message>
    <message>
        <source>Trigger In</source>
        <translation>Trigger In</translation>
    </message>
    <message>
        <source>Anti Flicker</source>
        <translation>Anti Flicker</translation>
    </message>
    <message>
        <source>Event Rate Control</source>
        <translation>Event Rate Control</translation>
    </message>
    <message>
        <source>Event Trail Filter</source>
        <translation>Event Trail Filter</translation>
    </message>
    <message>
        <source>ROI</source>
        <translation>ROI</translation>
    </message>
    <message>
        <source>Default</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>Load</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>Export</translation>
    </message>
    <message>
        <source>Load the default camera parameters</source>
        <translation>Load the default camera parameters</translation>
    </message>
    <message>
        <source>Read the parameters back from the camera</source>
        <translation>Read the parameters back from the camera</translation>
    </message>
    <message>
        <source>Load camera parameters from a file</source>
        <translation>Load camera parameters from a file</translation>
    </message>
    <message>
        <source>Export the camera parameters to a file</source>
        <translation>Export the camera parameters to a file</translation>
    </message>
    <message>
        <source>Open a camera to adjust its settings here.</source>
        <translation>Open a camera to adjust its settings here.</translation>
    </message>
    <message>
        <source>The saved camera parameters in %1 were not all applied: %2.</source>
        <translation>The saved camera parameters in %1 were not all applied: %2.</translation>
    </message>
    <message>
        <source>%1: the camera refused %2 = %3.</source>
        <translation>%1: the camera refused %2 = %3.</translation>
    </message>
    <message>
        <source>the file cannot be read</source>
        <translation>the file cannot be read</translation>
    </message>
    <message>
        <source>the file is not JSON</source>
        <translation>the file is not JSON</translation>
    </message>
    <message>
        <source>the file is not an object of tools and their parameters</source>
        <translation>the file is not an object of tools and their parameters</translation>
    </message>
    <message>
        <source>the file cannot be written</source>
        <translation>the file cannot be written</translation>
    </message>
    <message>
        <source>a value cannot be read from the camera</source>
        <translation>a value cannot be read from the camera</translation>
    </message>
    <message>
        <source>The camera took the new value, but it cannot be recorded in %1: %2.</source>
        <translation>The camera took the new value, but it cannot be recorded in %1: %2.</translation>
    </message>
    <message>
        <source>Cannot read %1 from the camera.</source>
        <translation>Cannot read %1 from the camera.</translation>
    </message>
    <message>
        <source>ROI selected successfully.</source>
        <translation>ROI selected successfully.</translation>
    </message>
    <message>
        <source>Failed to apply ROI selection.</source>
        <translation>Failed to apply ROI selection.</translation>
    </message>
    <message>
        <source>no camera is open</source>
        <translation>no camera is open</translation>
    </message>
    <message>
        <source>%1 does not exist</source>
        <translation>%1 does not exist</translation>
    </message>
    <message>
        <source>the camera refused the default of %1.%2</source>
        <translation>the camera refused the default of %1.%2</translation>
    </message>
    <message>
        <source>Camera parameters loaded; %1.</source>
        <translation>Camera parameters loaded; %1.</translation>
    </message>
    <message>
        <source>Camera parameters loaded successfully.</source>
        <translation>Camera parameters loaded successfully.</translation>
    </message>
    <message>
        <source>Camera parameters loaded failed: %1.</source>
        <translation>Camera parameters loaded failed: %1.</translation>
    </message>
    <message>
        <source>Failed to load camera parameters: %1.</source>
        <translation>Failed to load camera parameters: %1.</translation>
    </message>
    <message>
        <source>Failed to export camera parameters: %1.</source>
        <translation>Failed to export camera parameters: %1.</translation>
    </message>
    <message>
        <source>Camera parameters exported successfully.</source>
        <translation>Camera parameters exported successfully.</translation>
    </message>
    <message>
        <source>Select a JSON file</source>
        <translation>Select a JSON file</translation>
    </message>
    <message>
        <source>Json file (*.json)</source>
        <translation>Json file (*.json)</translation>
    </message>
    <message>
        <source>no error</source>
        <translation>no error</translation>
    </message>
    <message>
        <source>the file cannot be opened</source>
        <translation>the file cannot be opened</translation>
    </message>
    <message>
        <source>a tool the camera lacks was skipped</source>
        <translation>a tool the camera lacks was skipped</translation>
    </message>
    <message>
        <source>a value of an unsupported type was skipped</source>
        <translation>a value of an unsupported type was skipped</translation>
    </message>
    <message>
        <source>the file names a parameter the camera lacks</source>
        <translation>the file names a parameter the camera lacks</translation>
    </message>
    <message>
        <source>a value is of the wrong type</source>
        <translation>a value is of the wrong type</translation>
    </message>
    <message>
        <source>the camera refused a value</source>
        <translation>the camera refused a value</translation>
    </message>
    <message>
        <source>setting a parameter failed</source>
        <translation>setting a parameter failed</translation>
    </message>
    <message>
        <source>unknown error</source>
        <translation>unknown error</translation>
    </message>
</context>
<context>
    <name>SidebarCameraSettingUI</name>
    <message>
        <source>Camera Setting</source>
        <translation>Camera Setting</translation>
    </message>
    <message>
        <source>Display</source>
        <translation>Display</translation>
    </message>
</context>
<context>
    <name>MainWidget</name>
    <message>
        <source>The recording %1 is incomplete: data were lost or could not be written.</source>
        <translation>The recording %1 is incomplete: data were lost or could not be written.</translation>
    </message>
    <message>
        <source>The Tandra camera firmware needs to be upgraded!</source>
        <translation>The Tandra camera firmware needs to be upgraded!</translation>
    </message>
    <message>
        <source>The camera's calibration cannot be used; the default calibration is shown.</source>
        <translation>The camera's calibration cannot be used; the default calibration is shown.</translation>
    </message>
    <message>
        <source>The camera's calibration cannot be read; the default calibration is shown.</source>
        <translation>The camera's calibration cannot be read; the default calibration is shown.</translation>
    </message>
    <message>
        <source>Start the camera before recording.</source>
        <translation>Start the camera before recording.</translation>
    </message>
    <message>
        <source>Cannot start recording into %1.</source>
        <translation>Cannot start recording into %1.</translation>
    </message>
    <message>
        <source>The camera could not be started; check its connection.</source>
        <translation>The camera could not be started; check its connection.</translation>
    </message>
    <message>
        <source>The camera stopped, but a recording of it could not be completed.</source>
        <translation>The camera stopped, but a recording of it could not be completed.</translation>
    </message>
</context>
<context>
    <name>ZvFusionCameraDataProcessor</name>
    <message>
        <source>Frames of the recording that cannot be decoded are skipped.</source>
        <translation>Frames of the recording that cannot be decoded are skipped.</translation>
    </message>
    <message>
        <source>Loading cancelled.</source>
        <translation>Loading cancelled.</translation>
    </message>
    <message>
        <source>The calibration %1 cannot be used; the default calibration is shown.</source>
        <translation>The calibration %1 cannot be used; the default calibration is shown.</translation>
    </message>
    <message>
        <source>Cannot load the frames of the recording: %1.</source>
        <translation>Cannot load the frames of the recording: %1.</translation>
    </message>
    <message>
        <source>Cannot read the first frame of %1.</source>
        <translation>Cannot read the first frame of %1.</translation>
    </message>
    <message>
        <source>Cannot load the events of the recording: %1.</source>
        <translation>Cannot load the events of the recording: %1.</translation>
    </message>
    <message>
        <source>Manual calibration parameters were written successfully!</source>
        <translation>Manual calibration parameters were written successfully!</translation>
    </message>
    <message>
        <source>Manual calibration parameters were written failed!</source>
        <translation>Manual calibration parameters were written failed!</translation>
    </message>
    <message>
        <source>There is no frame at %1; the frame shown stays.</source>
        <translation>There is no frame at %1; the frame shown stays.</translation>
    </message>
</context>
<context>
    <name>SidebarApsSettingUI</name>
    <message>
        <source>APS Setting</source>
        <translation>APS Setting</translation>
    </message>
    <message>
        <source>APS Manual Calibration</source>
        <translation>APS Manual Calibration</translation>
    </message>
    <message>
        <source>Set aps offset x.</source>
        <translation>Set aps offset x.</translation>
    </message>
    <message>
        <source>Set aps offset y.</source>
        <translation>Set aps offset y.</translation>
    </message>
    <message>
        <source>Apply</source>
        <translation>Apply</translation>
    </message>
    <message>
        <source>Store the corrected calibration in the camera</source>
        <translation>Store the corrected calibration in the camera</translation>
    </message>
    <message>
        <source>The camera is no longer connected.</source>
        <translation>The camera is no longer connected.</translation>
    </message>
    <message>
        <source>Camera parameters loaded failed.</source>
        <translation>Camera parameters loaded failed.</translation>
    </message>
    <message>
        <source>Failed to load camera parameters.</source>
        <translation>Failed to load camera parameters.</translation>
    </message>
    <message>
        <source>Failed to export camera parameters.</source>
        <translation>Failed to export camera parameters.</translation>
    </message>
    <message>
        <source>Default</source>
        <translation>Default</translation>
    </message>
    <message>
        <source>Load the default camera parameters</source>
        <translation>Load the default camera parameters</translation>
    </message>
    <message>
        <source>Refresh</source>
        <translation>Refresh</translation>
    </message>
    <message>
        <source>Read the parameters back from the camera</source>
        <translation>Read the parameters back from the camera</translation>
    </message>
    <message>
        <source>Load</source>
        <translation>Load</translation>
    </message>
    <message>
        <source>Load camera parameters from a file</source>
        <translation>Load camera parameters from a file</translation>
    </message>
    <message>
        <source>Export</source>
        <translation>Export</translation>
    </message>
    <message>
        <source>Export the camera parameters to a file</source>
        <translation>Export the camera parameters to a file</translation>
    </message>
    <message>
        <source>Offset X</source>
        <translation>Offset X</translation>
    </message>
    <message>
        <source>Offset Y</source>
        <translation>Offset Y</translation>
    </message>
    <message>
        <source>APS</source>
        <translation>APS</translation>
    </message>
    <message>
        <source>%1: the camera refused %2 = %3.</source>
        <translation>%1: the camera refused %2 = %3.</translation>
    </message>
    <message>
        <source>Cannot read %1 from the camera.</source>
        <translation>Cannot read %1 from the camera.</translation>
    </message>
    <message>
        <source>Camera parameters loaded; %1.</source>
        <translation>Camera parameters loaded; %1.</translation>
    </message>
    <message>
        <source>Camera parameters loaded successfully.</source>
        <translation>Camera parameters loaded successfully.</translation>
    </message>
    <message>
        <source>Camera parameters exported successfully.</source>
        <translation>Camera parameters exported successfully.</translation>
    </message>
    <message>
        <source>Select a JSON file</source>
        <translation>Select a JSON file</translation>
    </message>
    <message>
        <source>Json file (*.json)</source>
        <translation>Json file (*.json)</translation>
    </message>
</context>
</TS>
