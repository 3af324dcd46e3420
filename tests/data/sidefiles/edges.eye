	<ModelInfo>
		<ModelName>pingpong</ModelName>
		<agents>
			<AGENT name='court_ping'>
				<STATE name='serving'><Mesh scale='3'>bat.obj</Mesh></STATE>
				<state name='done'>
					<mesh scale='0.5'>rest.obj</mesh>
					<pos x='1' y='-2' z='3.25' />
				</state>
			</AGENT>
			<Agent name='court_nobody'>
				<state name='idle'><mesh scale='1'>x.obj</mesh></state>
			</Agent>
		</agents>
  </ModelInfo>  
this line is after the closing tag and is not read <
