<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="zh_CN">
<context>
    <name>PLCDownloadAssistant</name>
    <message>
        <source>Talvo-HMI透传工具</source>
        <translation>Talvo-HMI Tunnel</translation>
    </message>
    <message>
        <source>PLC IP：</source>
        <translation>PLC IP：</translation>
    </message>
    <message>
        <source>192.168.1.10</source>
        <translation>192.168.1.10</translation>
    </message>
    <message>
        <source>PLC 端口：</source>
        <translation>PLC Port：</translation>
    </message>
    <message>
        <source>11740</source>
        <translation>11740</translation>
    </message>
    <message>
        <source> NR系列使用9016,NV系列使用11740</source>
        <translation> NR Series use 9016,NV Series use 11740</translation>
    </message>
    <message>
        <source>设备SN：</source>
        <translation>Device SN：</translation>
    </message>
    <message>
        <source>提示：</source>
        <translation>Tip：</translation>
    </message>
    <message>
        <source>设备连接：</source>
        <translation>Tunnel-Type:</translation>
    </message>
    <message>
        <source>创建连接通道</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>关闭连接通道</source>
        <translation> Close </translation>
    </message>
    <message>
        <source>  透传模块初始化失败</source>
        <translation>Faild to start tunnel unit</translation>
    </message>
    <message>
        <source>  透传通道建立失败</source>
        <translation>Failed to build Tunnel</translation>
    </message>
</context>
<context>
    <name>PLCDownloadPassThrough</name>
    <message>
        <source>TunnelSocket错误：</source>
        <translation>TunnelSocket error:</translation>
    </message>
</context>
<context>
    <name>PCapOperator</name>
    <message>
        <source>netsh interface ip set address name=&quot;%1&quot; source=static addr=%2.%3.%4.%5 mask=255.255.255.0 </source>
        <translation>netsh interface ip set address name=&quot;%1&quot; source=static addr=%2.%3.%4.%5 mask=255.255.255.0 </translation>
    </message>
    <message>
        <source>netsh interface set interface &quot;%1&quot; admin=disable </source>
        <translation>netsh interface set interface &quot;%1&quot; admin=disable </translation>
    </message>
    <message>
        <source>netsh interface set interface &quot;%1&quot; admin=enable </source>
        <translation>netsh interface set interface &quot;%1&quot; admin=enable </translation>
    </message>
    <message>
        <source>无法打开抓包设备%1(%2),正在重试</source>
        <translation>Capture device %1 cannot be opened (%2), retrying</translation>
    </message>
    <message>
        <source>无法列出抓包设备：%1</source>
        <translation>Capture devices cannot be listed: %1</translation>
    </message>
    <message>
        <source>未找到桥接网卡的抓包设备</source>
        <translation>No capture device found for the bridge adapter</translation>
    </message>
    <message>
        <source>未找到TAP-Windows网卡,请安装后重试</source>
        <translation>TAP-Windows adapter not found, please install it and try again</translation>
    </message>
    <message>
        <source>无法将MAC地址写入TAP-Windows网卡的注册表,请以管理员身份运行本工具后重试</source>
        <translation>The TAP-Windows adapter&apos;s MAC cannot be written to the registry; please run the tool as administrator and try again</translation>
    </message>
    <message>
        <source>未找到桥接网卡talvo0,请运行setup-adapter后重试</source>
        <translation>Bridge adapter talvo0 not found, please run setup-adapter and try again</translation>
    </message>
</context>
<context>
    <name>QObject</name>
    <message>
        <source>设备序列号为空</source>
        <translation>DeviceSN is empty</translation>
    </message>
    <message>
        <source>请填写PLC的IP</source>
        <translation>Please input PLC IP</translation>
    </message>
    <message>
        <source>请填写PLC的端口</source>
        <translation>Please input PLC port</translation>
    </message>
    <message>
        <source>PLC的端口请填写为数字</source>
        <translation>PLC port should be number</translation>
    </message>
    <message>
        <source>正在创建通道，请稍等...</source>
        <translation>Creating tunnel,please wait...</translation>
    </message>
    <message>
        <source>正在建立网络连接</source>
        <translation>Connecting network</translation>
    </message>
    <message>
        <source>正在连接设备</source>
        <translation>Connecting Device</translation>
    </message>
    <message>
        <source>正在断开连接</source>
        <translation>Disconnecting </translation>
    </message>
    <message>
        <source>创建下载通道</source>
        <translation>Start Tunnel</translation>
    </message>
    <message>
        <source>PC已创建下载通道</source>
        <translation>Connected</translation>
    </message>
    <message>
        <source>HMI已准备就绪</source>
        <translation>Success</translation>
    </message>
    <message>
        <source>  请移步到PLC上位操作对应的PLC</source>
        <translation>Please operate on PLC software</translation>
    </message>
    <message>
        <source>  连接超时，请检查HMI与设备间的连接</source>
        <translation>Connect Timeout</translation>
    </message>
    <message>
        <source>初始化打开通道失败,请检查网络和序列号。</source>
        <translation>Initialization failed!</translation>
    </message>
    <message>
        <source>建立HMI通道失败，请检查网络。</source>
        <translation>Initialization failed!Check the network.</translation>
    </message>
    <message>
        <source>建立HMI通道成功，请在PANELDESK使用127.0.0.1:12345地址进行操作。</source>
        <translation>HMI Tunnel is ready. -- 127.0.0.1:12345.</translation>
    </message>
    <message>
        <source>建立VNC通道成功</source>
        <translation>VNC tunnel is ready</translation>
    </message>
    <message>
        <source>建立VNC通道成功,是否打开VNC监控程序？</source>
        <translation>Open VNC Client program?</translation>
    </message>
    <message>
        <source>建立VNC通道失败 %1，请检查网络。</source>
        <translation>Failed to create VNC-Tunnel %1,Check the network.</translation>
    </message>
    <message>
        <source>建立PLC通道成功，请在PLC上使用%1(NV系列直接在节点上填写)地址进行操作。</source>
        <translation>Connect successfully，Please input %1(NV Serial node) on PLC software.</translation>
    </message>
    <message>
        <source>建立PLC通道失败，请检查网络。</source>
        <translation>Connect PLC Failed, Please check network.</translation>
    </message>
    <message>
        <source>检测未安装Tap-Windows,是否安装？</source>
        <translation>Install Tap-Windows ?</translation>
    </message>
    <message>
        <source>检测未安装Pcap服务,是否安装？</source>
        <translation>Install Pcap ?</translation>
    </message>
    <message>
        <source>未检测到桥接网卡talvo0,是否现在用setup-adapter设置(需要管理员密码)？</source>
        <translation>The bridge adapter talvo0 is not set up. Set it up now with setup-adapter (asks for the administrator's password)?</translation>
    </message>
    <message>
        <source>抓包助手talvo-bridge-helper没有抓包权限,是否现在用setup-adapter授权(需要管理员密码)？</source>
        <translation>The capture helper talvo-bridge-helper may not capture yet. Grant it now with setup-adapter (asks for the administrator's password)?</translation>
    </message>
    <message>
        <source>无法启动%1：文件不存在或不可执行</source>
        <translation>Cannot start %1: it is missing or not executable</translation>
    </message>
    <message>
        <source>未获得管理员权限,%1未运行</source>
        <translation>%1 was not run: administrator rights were not granted</translation>
    </message>
    <message>
        <source>无法启动%1：%2</source>
        <translation>Cannot start %1: %2</translation>
    </message>
    <message>
        <source>%1 失败：%2</source>
        <translation>%1 failed: %2</translation>
    </message>
    <message>
        <source>桥接网卡已设置好,请再次点击开始</source>
        <translation>The bridge adapter is ready: press Start again</translation>
    </message>
</context>
<context>
    <name>VNCTunnelConnect</name>
    <message>
        <source>无法启动VNC监控程序%1：%2</source>
        <translation>Cannot start the VNC viewer %1: %2</translation>
    </message>
    <message>
        <source>未安装VNC监控程序(例如tigervnc-viewer)</source>
        <translation>No VNC viewer is installed (for example tigervnc-viewer)</translation>
    </message>
    <message>
        <source>VNC监控程序异常退出(%1)</source>
        <translation>The VNC viewer ended with an error (%1)</translation>
    </message>
</context>
</TS>
